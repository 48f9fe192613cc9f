// Probes a port for the scale and reads the weight through Qel_weigher.Qelscale.
// Usage: cscript //nologo read_weight.js [PORT]   (default COM3)
var port = WScript.Arguments.length > 0 ? WScript.Arguments(0) : "COM3";
var scale = new ActiveXObject("Qel_weigher.Qelscale");
var found = scale.OpenComPort_(port);
WScript.Echo("probe " + (found === true ? "-1" : found === false ? "0" : "?") + " " + typeof found);
WScript.Echo("port " + port);
var weight = scale.GetWeight_();
WScript.Echo("weight " + weight + " " + typeof weight);
