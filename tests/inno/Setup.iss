; The smallest setup around the Inno Setup snippet of docs/setup-authors.md, compiled by tests/inno/run.
; Snippet.iss is the guide's ```pascal block as it stands (for pipe mode, with the one change the guide's
; comment asks for). The snippet logs what it decided with Log(); tests/inno/run reads the setup's log.

[Setup]
AppName=Tessaline snippet check
AppVersion=1.0
; Wine 8 has no per-user Program Files folder ({autopf}); the check passes /DIR anyway.
DefaultDirName={sd}\Tessaline snippet check
PrivilegesRequired=lowest
Uninstallable=no
OutputDir=.
OutputBaseFilename=Setup

#include "Snippet.iss"
