' Probes a port for the scale and reads the weight through Qel_weigher.Qelscale.
' Usage: cscript //nologo read_weight.vbs [PORT]   (default COM3)
Option Explicit

Dim scale, port, found, weight
port = "COM3"
If WScript.Arguments.Count > 0 Then port = WScript.Arguments(0)

Set scale = CreateObject("Qel_weigher.Qelscale")
' The port goes by reference (a variable); the driver leaves it unchanged.
found = scale.OpenComPort_(port)
WScript.Echo "probe " & CStr(CInt(found)) & " " & TypeName(found)
WScript.Echo "port " & port
weight = scale.GetWeight_()
WScript.Echo "weight " & weight & " " & TypeName(weight)
Set scale = Nothing
