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
; -DDETAILS makes an installer with a window, which Wine's null display driver never shows, for its
; details list: it makes the guide's call twice, first with the installer's own token, then with that
; token restricted as User Account Control restricts an administrator's that has not been elevated.
; The list goes to details.txt, with a line "-- restricted" between the two calls; UserInfo's account
; name and its two answers go to account.txt.
!ifdef AMD64
  Target amd64-unicode
!endif
Name "Tessaline nsis check"
OutFile "Setup.exe"
RequestExecutionLevel user
!ifdef DETAILS
  AutoCloseWindow true
  Page instfiles
!else
  SilentInstall silent
!endif
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
  !ifdef DETAILS
    UserInfo::GetName
    UserInfo::GetAccountType
    Call RestrictToken
    DetailPrint "-- restricted"
    UserInfo::GetAccountType
    !include "GuideCall.nsh"
    System::Call "advapi32::RevertToSelf()"
    Pop $R7
    Pop $R6
    Pop $R5
    FileOpen $R9 "$EXEDIR\account.txt" w
    FileWrite $R9 "$R5|$R6|$R7"
    FileClose $R9
    Call DumpDetails
  !endif
SectionEnd

!ifdef DETAILS
  ; The thread takes the installer's token with the Administrators group for deny only
  ; (CreateRestrictedToken): CheckTokenMembership, by which UserInfo::GetAccountType asks, then leaves
  ; the group out.
  Function RestrictToken
    ; TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY
    System::Call "advapi32::OpenProcessToken(p -1, i 0xB, *p .R5)"
    System::Call "advapi32::ConvertStringSidToSid(t 'S-1-5-32-544', *p .R6)"
    System::Call "*(p R6, i 0) p .R7"
    System::Call "advapi32::CreateRestrictedToken(p R5, i 0, i 1, p R7, i 0, p 0, i 0, p 0, *p .R8)"
    System::Call "advapi32::ImpersonateLoggedOnUser(p R8)"
    System::Call "kernel32::CloseHandle(p R8)"
    System::Free $R7
    System::Call "kernel32::LocalFree(p R6)"
    System::Call "kernel32::CloseHandle(p R5)"
  FunctionEnd

  ; The details list (control 1016 of the inner dialog), a line each, into details.txt.
  !if ${NSIS_CHAR_SIZE} > 1
    !define LVM_GETITEMTEXT 0x1073
  !else
    !define LVM_GETITEMTEXT 0x102D
  !endif
  Function DumpDetails
    FindWindow $R5 "#32770" "" $HWNDPARENT
    GetDlgItem $R5 $R5 1016
    ; LVM_GETITEMCOUNT
    SendMessage $R5 0x1004 0 0 $R6
    System::Call "*(&t${NSIS_MAX_STRLEN}) p .R7"
    ; LVITEM: mask, iItem, iSubItem, state, stateMask, pszText, cchTextMax, ...
    System::Call "*(i 0, i 0, i 0, i 0, i 0, p R7, i ${NSIS_MAX_STRLEN}, i, i) p .R8"
    FileOpen $R9 "$EXEDIR\details.txt" w
    StrCpy $R4 0
    next:
      StrCmp $R4 $R6 done
      System::Call "user32::SendMessage(p R5, i ${LVM_GETITEMTEXT}, p R4, p R8)"
      System::Call "*$R7(&t${NSIS_MAX_STRLEN} .R3)"
      FileWrite $R9 "$R3$\n"
      IntOp $R4 $R4 + 1
      Goto next
    done:
    FileClose $R9
    System::Free $R8
    System::Free $R7
  FunctionEnd
!endif

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
