// Tessaline for Inno Setup 6: installs Tessaline.exe, runs it when the installation has finished, and
// removes its marker when the product is uninstalled.
//
//   #define TessalineName "Product"
//   #include "Tessaline.iss"
//
// writes HKCU\Software\Tessaline\Product, Install = 1 (registry mode); without the #define, Tessaline
// tells the running downloader instead (pipe mode). The #include goes on a line of its own, before,
// between or after your sections and your [Code], but before code of yours that calls the functions
// below; a second #include does nothing.
//
// It runs at ssPostInstall, in the same step as your own CurStepChanged and before it. To report after
// your own post-install work, #define TessalineAuto 0 and make TessalineReport the last call of your
// ssPostInstall. Inno Setup runs your [Run] entries before ssPostInstall, but those with postinstall
// (the usual "Launch" check box) only after the Finished page: in pipe mode a downloader started from
// such an entry is not running yet when the report goes, which then takes five seconds and ends with
// E_FAIL. Start it from a [Run] entry without postinstall and with nowait, or report from that entry's
// AfterInstall: TessalineReport(''). It runs as the user who started the setup, also when the setup
// runs elevated, and the setup waits for it. The outcome goes to the setup log (/LOG or
// SetupLogging=yes), one of:
//   Tessaline.exe: completion reported
//   Tessaline.exe: E_FAIL, completion not reported
//   Tessaline.exe: unexpected exit code <code>
//   Tessaline.exe did not start: <reason>        (also when the call raised an exception)
// and never fails the setup nor stops your own code: the installation is complete by then.
//
// Uninstalling (registry mode) removes the marker of the user who uninstalls (an elevated uninstaller:
// the administrator's): the value Install, then the key and each parent up to Software\Tessaline, each
// only when it is left empty, so another product's marker stays. The uninstall log says one of:
//   Tessaline: marker removed (HKCU\Software\Tessaline\Product)
//   Tessaline: no marker (HKCU\Software\Tessaline\Product)
//   Tessaline: marker not removed (HKCU\Software\Tessaline\Product)
// Pipe mode sends nothing on uninstall.
//
// Options: #define them before the #include.
//   TessalineName        the name for registry mode (none: pipe mode). Uninstalling takes it as the
//                        key's name, as written: use a name without "/", "=" or quotes
//   TessalineSource      Tessaline.exe for the compiler (default: beside this file; yours is relative
//                        to your script)
//   TessalineDir         where the setup installs it ("{app}"; with CreateAppDir=no, where {app} is
//                        the Windows folder, the setup's temporary folder "{tmp}")
//   TessalineFiles       0: your own [Files] entry installs it into TessalineDir (default 1: this
//                        file's)
//   TessalineAuto        0: it does not run by itself; call it from your [Code] (default 1: at
//                        ssPostInstall)
//   TessalineKeepMarker  1: uninstalling leaves the marker (default 0: it removes it)
//
// From your [Code]:
//   TessalineReport('Product')   registry mode, TessalineReport('') pipe mode; True when reported
//   TessalineRun('/name=Product')   any command line; True when reported
//   TessalineForget('Product')   in your uninstall code: removes that marker, as above

#ifndef TessalineIncluded
#define TessalineIncluded

#ifndef TessalineName
  #define TessalineName ""
#endif
#ifndef TessalineSource
  #define TessalineSource AddBackslash(ExtractFileDir(__PATHFILENAME__)) + "Tessaline.exe"
#endif
#ifndef TessalineDir
  #define TessalineDir "{code:TessalineDefaultDir}"
#endif
#ifndef TessalineFiles
  #define TessalineFiles 1
#endif
#ifndef TessalineAuto
  #define TessalineAuto 1
#endif
#ifndef TessalineKeepMarker
  #define TessalineKeepMarker 0
#endif

#if TessalineFiles
[Files]
Source: "{#TessalineSource}"; DestDir: "{#TessalineDir}"; Flags: ignoreversion
#endif

[Code]
{ CreateAppDir=no makes the application folder the Windows folder, no place for Tessaline.exe: the
  setup's temporary folder then, as the program is needed only while the setup runs. }
function TessalineDefaultDir(Param: String): String;
begin
  Result := ExpandConstant('{app}');
  if CompareText(RemoveBackslash(Result), RemoveBackslash(ExpandConstant('{win}'))) = 0 then
    Result := ExpandConstant('{tmp}');
end;

function TessalineRun(const Params: String): Boolean;
var
  Started: Boolean;
  Failure: String;
  ResultCode: Integer;
begin
  Result := False;
  Started := False;
  try
    { As the original user: an elevated setup would write the marker to the administrator's HKCU. }
    Started := ExecAsOriginalUser(
      ExpandConstant('{#StringChange(TessalineDir, "'", "''")}\Tessaline.exe'), Params, '', SW_HIDE,
      ewWaitUntilTerminated, ResultCode);
    Failure := SysErrorMessage(ResultCode);
  except
    { A constant that cannot be expanded, say: the caller's own handler must still go on. }
    Failure := GetExceptionMessage;
  end;
  if not Started then
    Log('Tessaline.exe did not start: ' + Failure)
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

procedure TessalineForget(const Name: String);
var
  Key: String;
  Cut: Integer;
begin
  if Name = '' then
    Exit;
  Key := 'Software\Tessaline\' + Name;
  if not RegValueExists(HKCU, Key, 'Install') then
    Log('Tessaline: no marker (HKCU\' + Key + ')')
  else if RegDeleteValue(HKCU, Key, 'Install') then
    Log('Tessaline: marker removed (HKCU\' + Key + ')')
  else
    Log('Tessaline: marker not removed (HKCU\' + Key + ')');
  { The key, then each parent up to Software\Tessaline, only when nothing is left in it: another
    product's marker, also one nested below this one, stays. }
  while Length(Key) >= Length('Software\Tessaline') do begin
    RegDeleteKeyIfEmpty(HKCU, Key);
    Cut := Length(Key);
    while (Cut > 0) and (Key[Cut] <> '\') do
      Cut := Cut - 1;
    Key := Copy(Key, 1, Cut - 1);
  end;
end;

{ Event attributes, so that your own CurStepChanged and CurUninstallStepChanged stay yours. Inno Setup
  calls these before them. }
#if TessalineAuto
<event('CurStepChanged')>
procedure TessalineCurStepChanged(CurStep: TSetupStep);
begin
  if CurStep = ssPostInstall then
    TessalineReport('{#StringChange(TessalineName, "'", "''")}');
end;
#endif

#if TessalineName != "" && !TessalineKeepMarker
<event('CurUninstallStepChanged')>
procedure TessalineCurUninstallStepChanged(CurUninstallStep: TUninstallStep);
begin
  if CurUninstallStep = usPostUninstall then
    TessalineForget('{#StringChange(TessalineName, "'", "''")}');
end;
#endif

#endif
