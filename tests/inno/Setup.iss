; The smallest setup around Inno Setup lines of docs/setup-authors.md, compiled by tests/inno/run.
; Snippet.iss holds the guide's lines as they stand: the ```iss lines that include Tessaline.iss, or the
; hand-written ```pascal snippet (each for pipe mode with the one change the guide names). They log
; what they decided with Log(); tests/inno/run reads the setup's log.
; /DAuthor puts the guide's lines where a larger setup has them: after the author's own [Code], whose
; CurStepChanged logs a line of its own, in an uninstallable setup that also writes two other products'
; markers, one beside the guide's Product and one below it. /DReportLast puts the author's [Code] after
; the guide's lines instead, reporting completion as the last step of its own ssPostInstall.
; /DNoAppDir makes a setup without an application folder (CreateAppDir=no). /DRunPeer=PATH starts the
; downloader stand-in PATH from a [Run] entry, as the guide says for pipe mode: without postinstall, and
; without waiting for it.

[Setup]
AppName=Tessaline inno check
AppVersion=1.0
; Wine 8 has no per-user Program Files folder ({autopf}); the check passes /DIR anyway.
DefaultDirName={sd}\Tessaline inno check
PrivilegesRequired=lowest
#ifdef Author
Uninstallable=yes
#else
Uninstallable=no
#endif
OutputDir=.
OutputBaseFilename=Setup
#ifdef NoAppDir
CreateAppDir=no
#endif

#ifdef RunPeer
[Run]
Filename: "{#RunPeer}"; Parameters: "--reply true"; Flags: nowait runhidden
#endif

#ifdef Author
[Registry]
Root: HKCU; Subkey: "Software\Tessaline\Other"; ValueType: string; ValueName: Install; ValueData: 1
Root: HKCU; Subkey: "Software\Tessaline\Product\Tools"; ValueType: string; ValueName: Install; ValueData: 1

[Code]
procedure CurStepChanged(CurStep: TSetupStep);
begin
  if CurStep = ssPostInstall then
    Log('Setup.iss: own post-install step');
end;
#endif

#include "Snippet.iss"

#ifdef ReportLast
[Code]
procedure CurStepChanged(CurStep: TSetupStep);
begin
  if CurStep = ssPostInstall then begin
    Log('Setup.iss: own post-install step');
    TessalineReport('{#TessalineName}');
  end;
end;
#endif
