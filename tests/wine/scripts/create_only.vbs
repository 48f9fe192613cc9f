' Reports whether Qel_weigher.Qelscale can be created (it cannot after unregistering).
Option Explicit
Dim scale
On Error Resume Next
Set scale = CreateObject("Qel_weigher.Qelscale")
If Err.Number <> 0 Then
  WScript.Echo "create failed " & Hex(Err.Number)
Else
  WScript.Echo "created"
End If
