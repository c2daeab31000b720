; The smallest installer around the NSIS lines of docs/setup-authors.md, built by tests/nsis/run:
; GuideInclude.nsh holds the guide's !include line, GuideCall.nsh its ${Tessaline} line and
; GuideForget.nsh its ${TessalineForget} line, as they stand (the call for pipe mode with the one change
; the guide names). -DAMD64 makes a 64-bit installer, -DMISSING one that does not install Tessaline.exe.
; The outcome and a variable the macro must keep go to result.txt beside the installer.
; -DAUTHOR adds what a larger script has: GuideSnippet.nsh, the body of the guide's hand-written
; snippet, in the same Section as the macro's first use (so beside the labels the snippet declares); a
; use in a Function, after SetErrors; and an uninstaller that reports another product's completion and
; then forgets this one. The Function's outcome and error flag follow in result.txt; the uninstaller's
; go to uninstall.txt in the installation folder.
!ifdef AMD64
  Target amd64-unicode
!endif
Name "Tessaline nsis check"
OutFile "Setup.exe"
RequestExecutionLevel user
SilentInstall silent
!ifdef AUTHOR
  ; The check runs its uninstaller with _?=, which NSIS reads only unquoted: no blanks.
  InstallDir "C:\Tessaline-nsis-check"
!else
  InstallDir "C:\Tessaline nsis check"
!endif

!include "GuideInclude.nsh"

Section "-Install"
  StrCpy $1 "kept"
  SetOutPath $INSTDIR
  !ifndef MISSING
    File "Tessaline.exe"
  !endif
  !ifdef AUTHOR
    WriteUninstaller "$INSTDIR\Uninstall.exe"
  !endif
SectionEnd

Section "-Report completion"
  !ifdef AUTHOR
    !include "GuideSnippet.nsh"
  !endif
  !include "GuideCall.nsh"
SectionEnd

!ifdef AUTHOR
  ; The outcome in $R0, and in $R1 whether the error flag set before the call is still set.
  Function ReportAfterSetErrors
    SetErrors
    ${Tessaline} "/name=Product" $R0
    StrCpy $R1 "errors cleared"
    IfErrors 0 +2
      StrCpy $R1 "errors kept"
  FunctionEnd

  ; The outcome and the error flag as above. The other product's marker lies beside this one's.
  Section "un.Forget"
    SetErrors
    ${Tessaline} "/name=Other" $R0
    !include "GuideForget.nsh"
    StrCpy $R1 "errors cleared"
    IfErrors 0 +2
      StrCpy $R1 "errors kept"
    FileOpen $R2 "$INSTDIR\uninstall.txt" w
    FileWrite $R2 "$R0|$R1"
    FileClose $R2
  SectionEnd
!endif

Section "-Result"
  !ifdef AUTHOR
    Call ReportAfterSetErrors
  !endif
  FileOpen $2 "$EXEDIR\result.txt" w
  FileWrite $2 "$0|$1"
  !ifdef AUTHOR
    FileWrite $2 "|$R0|$R1"
  !endif
  FileClose $2
SectionEnd
