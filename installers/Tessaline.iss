; Tessaline for Inno Setup 6: installs Tessaline.exe and runs it when the installation has finished.
;
;   #define TessalineName "Product"
;   #include "Tessaline.iss"
;
; writes HKCU\Software\Tessaline\Product, Install = 1 (registry mode); without the #define, Tessaline
; tells the running downloader instead (pipe mode). It runs as the user who started the setup, also
; when the setup runs elevated, and the setup waits for it. Its outcome goes to the setup log (/LOG
; or SetupLogging=yes), one of:
;   Tessaline.exe: completion reported
;   Tessaline.exe: E_FAIL, completion not reported
;   Tessaline.exe: unexpected exit code <code>
;   Tessaline.exe did not start: <reason>
; A failure never fails the setup: the installation is complete by then.
;
; Options: #define them before the #include.
;   TessalineName    the name for registry mode, without "/" or "=" (none: pipe mode)
;   TessalineSource  Tessaline.exe for the compiler, relative to your script ("Tessaline.exe")
;   TessalineDir     where the setup installs it ("{app}")
;   TessalineFiles   0: your own [Files] entry installs it into TessalineDir (default 1: this file's)
;   TessalineAuto    0: it does not run by itself; call it from your [Code] (default 1: at ssPostInstall)
;
; From your [Code], both True when completion was reported:
;   TessalineReport('Product')          registry mode; TessalineReport('') for pipe mode
;   TessalineRun('/name=Product')       any command line

#ifndef TessalineName
  #define TessalineName ""
#endif
#ifndef TessalineSource
  #define TessalineSource "Tessaline.exe"
#endif
#ifndef TessalineDir
  #define TessalineDir "{app}"
#endif
#ifndef TessalineFiles
  #define TessalineFiles 1
#endif
#ifndef TessalineAuto
  #define TessalineAuto 1
#endif

#if TessalineFiles
[Files]
Source: "{#TessalineSource}"; DestDir: "{#TessalineDir}"; Flags: ignoreversion
#endif

[Code]
function TessalineRun(const Params: String): Boolean;
var
  ResultCode: Integer;
begin
  Result := False;
  { As the original user: an elevated setup would write the marker to the administrator's HKCU. }
  if not ExecAsOriginalUser(ExpandConstant('{#TessalineDir}\Tessaline.exe'), Params, '', SW_HIDE,
                            ewWaitUntilTerminated, ResultCode) then
    Log('Tessaline.exe did not start: ' + SysErrorMessage(ResultCode))
  else if ResultCode = 0 then begin
    Log('Tessaline.exe: completion reported');
    Result := True;
  end
  { E_FAIL, 0x80004005, as the Integer holds it }
  else if ResultCode = -2147467259 then
    Log('Tessaline.exe: E_FAIL, completion not reported')
  else
    Log('Tessaline.exe: unexpected exit code ' + IntToStr(ResultCode));
end;

function TessalineReport(const Name: String): Boolean;
begin
  if Name = '' then
    Result := TessalineRun('')
  else
    Result := TessalineRun('/name=' + Name);
end;

#if TessalineAuto
{ An event attribute, so that your own CurStepChanged stays yours. }
<event('CurStepChanged')>
procedure TessalineCurStepChanged(CurStep: TSetupStep);
begin
  if CurStep = ssPostInstall then
    TessalineReport('{#StringChange(TessalineName, "'", "''")}');
end;
#endif
