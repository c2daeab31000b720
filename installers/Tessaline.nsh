; Tessaline for NSIS 3: runs the installed Tessaline.exe, waits for it, and tells what happened; and
; removes its marker from your uninstaller.
;
;   !include "Tessaline.nsh"
;   ${Tessaline} "/name=Product" $0     ; registry mode: HKCU\Software\Tessaline\Product, Install = 1
;   ${Tessaline} "" $0                  ; pipe mode: tells the running downloader
;
; in a section after the one that installs Tessaline.exe. The variable (here $0) then holds:
;   reported     exit code 0: the marker was written, or the downloader answered true
;   E_FAIL       exit code 0x80004005: completion was not reported
;   not started  Tessaline.exe could not be started
;   other text   an unexpected exit code, in decimal
; The details show the same (DetailPrint). It works in 32- and 64-bit installers (Target
; amd64-unicode), ANSI or Unicode, in sections, functions and the uninstaller. It runs as the installer
; runs: under RequestExecutionLevel admin, registry mode writes the administrator's HKCU, which is not
; the user's when someone else typed the password. An installer with administrator rights (UserInfo's
; account type "Admin": elevated, or with UAC off) says so in the details before the run, for any
; non-empty parameters (pipe mode's "/name=" among them: the modes are not told apart):
; "Tessaline.exe: the marker goes to the HKCU of <account>, which runs this installer with
; administrator rights". To write the user's HKCU, run the program as the user who started the
; installer (the guide names the usual ways). Wine has no elevation: there the account is always "Admin".
;
;   ${TessalineForget} "Product"        ; in your uninstaller, for registry mode
;
; removes the marker of the user the uninstaller runs as (an elevated one: the administrator's): the
; value Install, then the key and each parent up to Software\Tessaline, each only when it is left
; empty, so another product's marker stays. The details show "Tessaline: marker removed" or "Tessaline:
; no marker removed", with the key. It takes the name as the key's name, as written: use a name without
; "/", "=" or quotes. To keep the marker, do not call it. Pipe mode needs nothing on uninstall.
;
; Both macros keep the other variables, the stack and the error flag, declare no labels (they go beside
; yours, in one Section or Function, as often as you like) and echo none of their instructions at any
; -V level.
;
; Option: !define it before the !include.
;   TESSALINE_EXE   the program to run ("$INSTDIR\Tessaline.exe")

!verbose push
!verbose 3
!ifndef TESSALINE_NSH
!define TESSALINE_NSH
!include Util.nsh

!ifndef TESSALINE_EXE
  !define TESSALINE_EXE "$INSTDIR\Tessaline.exe"
!endif

!macro TessalineCall PARAMETERS RESULT
  !verbose push
  !verbose 3
  Push `${PARAMETERS}`
  ${CallArtificialFunction} TessalineRun_
  Pop ${RESULT}
  !verbose pop
!macroend
!define Tessaline "!insertmacro TessalineCall"

!macro TessalineForgetCall NAME
  !verbose push
  !verbose 3
  Push `${NAME}`
  ${CallArtificialFunction} TessalineForget_
  !verbose pop
!macroend
!define TessalineForget "!insertmacro TessalineForgetCall"

; The bodies jump by counting instructions (+N) rather than to labels: labels would belong to the first
; Section or Function that uses a macro, where they could clash with the author's own.

; Both take their argument from the top of the stack and keep $0, $1 and the error flag: they push $0
; and the flag ("errors" or "") below it, and take them back at the end.
!macro TessalineSave_
  Exch $1
  Push $0
  StrCpy $0 ""
  IfErrors 0 +2
    StrCpy $0 "errors"
  Push $0
!macroend
!macro TessalineErrorFlag_
  Pop $0
  ClearErrors
  StrCmp $0 "errors" 0 +2
    SetErrors
!macroend

; Leaves the outcome on the stack.
!macro TessalineRun_
  !insertmacro TessalineSave_
  ; The account and its type, asked for every time: a relative jump must not cross a plug-in call, which
  ; makes more than one instruction.
  UserInfo::GetName
  UserInfo::GetAccountType
  Pop $0
  StrCmp $0 "Admin" 0 +5
    Pop $0
    ; Empty parameters are pipe mode, which writes no marker; other parameters are not told apart.
    StrCmp $1 "" +4
    DetailPrint "Tessaline.exe: the marker goes to the HKCU of $0, which runs this installer with administrator rights"
    Goto +2
  Pop $0
  ClearErrors
  ; With a variable, the error flag means only that the program did not start.
  ExecWait `"${TESSALINE_EXE}" $1` $0
  StrCpy $1 "not started"
  IfErrors +6
    StrCpy $1 $0
    ; E_FAIL, 0x80004005, reads -2147467259 in a 32-bit installer and 2147500037 in a 64-bit one;
    ; IntCmp compares 32-bit numbers and matches both (StrCmp would not).
    IntCmp $0 -2147467259 0 +2 +2
      StrCpy $1 "E_FAIL"
    IntCmp $0 0 0 +2 +2
      StrCpy $1 "reported"
  StrCmp $1 "reported" 0 +2
    DetailPrint "Tessaline.exe: completion reported"
  StrCmp $1 "E_FAIL" 0 +2
    DetailPrint "Tessaline.exe: E_FAIL, completion not reported"
  StrCmp $1 "not started" 0 +2
    DetailPrint "Tessaline.exe did not start"
  ; Still the exit code itself: an unexpected one.
  StrCmp $1 $0 0 +2
    DetailPrint "Tessaline.exe: unexpected exit code $0"
  ; The outcome goes where $1 was, and $1 comes back.
  Exch 2
  Exch $1
  Exch 2
  !insertmacro TessalineErrorFlag_
  Pop $0
!macroend

; Leaves nothing on the stack.
!macro TessalineForget_
  !insertmacro TessalineSave_
  StrCmp $1 "" +13
  StrCpy $1 "Software\Tessaline\$1"
  ClearErrors
  DeleteRegValue HKCU $1 "Install"
  IfErrors 0 +3
    DetailPrint "Tessaline: no marker removed (HKCU\$1)"
    Goto +2
    DetailPrint "Tessaline: marker removed (HKCU\$1)"
  ; The key, then each parent up to Software\Tessaline, only when nothing is left in it: another
  ; product's marker, also one nested below this one, stays. The parent: cut up to the last "\".
  DeleteRegKey /ifempty HKCU $1
  StrCmp $1 "Software\Tessaline" +4
    StrCpy $0 $1 1 -1
    StrCpy $1 $1 -1
    StrCmp $0 "\" -4 -2
  !insertmacro TessalineErrorFlag_
  Pop $0
  Pop $1
!macroend

!endif
!verbose pop
