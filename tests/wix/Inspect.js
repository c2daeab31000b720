// Prints what the packages named on the command line hold for Tessaline, read through Windows Installer's
// own database interface (tests/wix/run runs it with Wine's cscript):
//   package PATH
//   action NAME TYPE TARGET       each custom action: its Type bits and Target (ExeCommand, or the value set)
//   sequence ACTION N CONDITION   each InstallExecuteSequence entry
//   registry ROOT KEY NAME COMPONENT   each Registry row that removes a key (Name "-")
var installer = new ActiveXObject("WindowsInstaller.Installer");
function rows(database, query, print) {
    var view = database.OpenView(query);
    view.Execute();
    for (var row = view.Fetch(); row; row = view.Fetch())
        WScript.Echo(print(row));
    view.Close();
}
for (var i = 0; i < WScript.Arguments.length; i++) {
    var database = installer.OpenDatabase(WScript.Arguments(i), 0);
    WScript.Echo("package " + WScript.Arguments(i));
    rows(database, "SELECT `Action`, `Type`, `Target` FROM `CustomAction`", function (row) {
        return "action " + row.StringData(1) + " " + row.IntegerData(2) + " " + row.StringData(3);
    });
    rows(database, "SELECT `Action`, `Sequence`, `Condition` FROM `InstallExecuteSequence`", function (row) {
        return "sequence " + row.StringData(1) + " " + row.IntegerData(2) + " " + row.StringData(3);
    });
    // A package without registry entries has no Registry table.
    try {
        rows(database, "SELECT `Root`, `Key`, `Component_` FROM `Registry` WHERE `Name` = '-'", function (row) {
            return "registry " + row.IntegerData(1) + " " + row.StringData(2) + " - " + row.StringData(3);
        });
    } catch (e) {
    }
    // Wine's msi opens no second database while the first is still referenced.
    database = null;
    CollectGarbage();
}
