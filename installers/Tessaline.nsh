; Tessaline for NSIS 3: runs the installed Tessaline.exe, waits for it, and tells what happened.
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
; The details show the same (DetailPrint). Other variables and the stack are kept. It works in 32- and
; 64-bit installers (Target amd64-unicode), ANSI or Unicode, in sections, functions and the uninstaller.
; It runs as the installer runs: under RequestExecutionLevel admin, registry mode writes the
; administrator's HKCU, which is not the user's when someone else typed the password.
;
; Option: !define it before the !include.
;   TESSALINE_EXE   the program to run ("$INSTDIR\Tessaline.exe")

!ifndef TESSALINE_NSH
!define TESSALINE_NSH
!include Util.nsh

!ifndef TESSALINE_EXE
  !define TESSALINE_EXE "$INSTDIR\Tessaline.exe"
!endif

!macro TessalineCall PARAMETERS RESULT
  Push `${PARAMETERS}`
  ${CallArtificialFunction} TessalineRun_
  Pop ${RESULT}
!macroend
!define Tessaline "!insertmacro TessalineCall"

; Takes the parameters from the stack and leaves the outcome there; $0 and $1 are restored.
!macro TessalineRun_
  Exch $1
  Push $0
  ClearErrors
  ; With a variable, the error flag means only that the program did not start.
  ExecWait `"${TESSALINE_EXE}" $1` $0
  IfErrors tessaline_not_started
  IntCmp $0 0 tessaline_reported
  ; E_FAIL, 0x80004005, reads -2147467259 in a 32-bit installer and 2147500037 in a 64-bit one;
  ; IntCmp compares 32-bit numbers and matches both (StrCmp would not).
  IntCmp $0 -2147467259 tessaline_efail tessaline_other tessaline_other
  tessaline_reported:
    StrCpy $1 "reported"
    DetailPrint "Tessaline.exe: completion reported"
    Goto tessaline_done
  tessaline_efail:
    StrCpy $1 "E_FAIL"
    DetailPrint "Tessaline.exe: E_FAIL, completion not reported"
    Goto tessaline_done
  tessaline_not_started:
    StrCpy $1 "not started"
    DetailPrint "Tessaline.exe did not start"
    Goto tessaline_done
  tessaline_other:
    StrCpy $1 $0
    DetailPrint "Tessaline.exe: unexpected exit code $0"
  tessaline_done:
  Pop $0
  Exch $1
!macroend

!endif
