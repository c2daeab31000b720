; The smallest setup around Inno Setup lines of docs/setup-authors.md, compiled by tests/inno/run.
; Snippet.iss holds the guide's lines as they stand: the ```iss lines that include Tessaline.iss, or the
; hand-written ```pascal snippet (each for pipe mode with the one change the guide names). They log
; what they decided with Log(); tests/inno/run reads the setup's log.

[Setup]
AppName=Tessaline inno check
AppVersion=1.0
; Wine 8 has no per-user Program Files folder ({autopf}); the check passes /DIR anyway.
DefaultDirName={sd}\Tessaline inno check
PrivilegesRequired=lowest
Uninstallable=no
OutputDir=.
OutputBaseFilename=Setup

#include "Snippet.iss"
