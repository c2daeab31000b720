// Prints what the packages named on the command line hold for the Tessaline custom action, read through
// Windows Installer's own database interface (tests/wix/run runs it with Wine's cscript):
//   package PATH
//   type N                  the CustomAction's Type bits
//   sequence ACTION N       each InstallExecuteSequence entry
var installer = new ActiveXObject("WindowsInstaller.Installer");
for (var i = 0; i < WScript.Arguments.length; i++) {
    var database = installer.OpenDatabase(WScript.Arguments(i), 0);
    WScript.Echo("package " + WScript.Arguments(i));
    var view = database.OpenView("SELECT `Type` FROM `CustomAction` WHERE `Action` = 'TessalineReport'");
    view.Execute();
    for (var row = view.Fetch(); row; row = view.Fetch())
        WScript.Echo("type " + row.IntegerData(1));
    view.Close();
    view = database.OpenView("SELECT `Action`, `Sequence` FROM `InstallExecuteSequence`");
    view.Execute();
    for (row = view.Fetch(); row; row = view.Fetch())
        WScript.Echo("sequence " + row.StringData(1) + " " + row.IntegerData(2));
    view.Close();
    // Wine's msi opens no second database while the first is still referenced.
    row = view = database = null;
    CollectGarbage();
}
