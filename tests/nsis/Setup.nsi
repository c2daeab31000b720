; The smallest installer around the NSIS lines of docs/setup-authors.md, built by tests/nsis/run:
; GuideInclude.nsh holds the guide's !include line and GuideCall.nsh its ${Tessaline} line, as they
; stand (for pipe mode with the one change the guide names). -DAMD64 makes a 64-bit installer, -DMISSING
; one that does not install Tessaline.exe. The outcome and a variable the macro must keep go to
; result.txt beside the installer.
!ifdef AMD64
  Target amd64-unicode
!endif
Name "Tessaline nsis check"
OutFile "Setup.exe"
RequestExecutionLevel user
SilentInstall silent
InstallDir "C:\Tessaline nsis check"

!include "GuideInclude.nsh"

Section "-Install"
  StrCpy $1 "kept"
  SetOutPath $INSTDIR
  !ifndef MISSING
    File "Tessaline.exe"
  !endif
SectionEnd

Section "-Report completion"
  !include "GuideCall.nsh"
SectionEnd

Section "-Result"
  FileOpen $2 "$EXEDIR\result.txt" w
  FileWrite $2 "$0|$1"
  FileClose $2
SectionEnd
