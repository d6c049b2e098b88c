; The Windows installer of the tools and the SDK: gwctl.exe and gwemu.exe with the DLLs they need
; (the compiler's runtime among them), the samples, the headers, import libraries, CMake package
; and pkg-config files, as the install rules put them in a staging folder.
;
; Per machine (Program Files, the default when the user may) or per user (the user's programs
; folder, no administrator needed); /AllUsers or /CurrentUser choose on the command line. The
; tools go on the PATH only when asked: the component on the components page, or /AddToPath.
; Silent: /S, and /D=FOLDER (last, unquoted) for another folder. The uninstaller is registered
; with Windows and removes exactly the files the installer wrote, the PATH entry it added and
; its registration; the user's data (logs in %LOCALAPPDATA%\gatewayutils) stays.
;
; makensis -NOCD, run in the staging folder:
;   -DVERSION=x.y.z  -DFILES=DIR (install.nsh, uninstall.nsh from FileLists.cmake)  -DOUTFILE=EXE
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!ifndef VERSION | FILES | OUTFILE
  !error "define VERSION, FILES and OUTFILE"
!endif

!define PRODUCT "gatewayutils"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define USER_ENVIRONMENT "Environment"
!define MACHINE_ENVIRONMENT "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_INSTDIR "${PRODUCT}"
!define MULTIUSER_USE_PROGRAMFILES64
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh
!include WinMessages.nsh

!define MUI_ABORTWARNING
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "gatewayutils maintainers"

; The folder given with /D, which MultiUser's defaults would otherwise replace.
Var GivenFolder

; The PATH of the install mode's environment, in $0, with $1 "" or the reason it cannot be
; changed safely. A value the installer cannot read whole (too long for its strings, or not a
; string) reads as an error, like an absent one: it is never taken for empty and written back.
!define /math PATH_LIMIT ${NSIS_MAX_STRLEN} - 1
!macro PATH_VALUE_EXISTS ROOT KEY
  StrCpy $4 0
  ${Do}
    ClearErrors
    EnumRegValue $5 ${ROOT} "${KEY}" $4
    ${If} ${Errors}
    ${OrIf} $5 == ""
      ${ExitDo}
    ${EndIf}
    ${If} $5 == "Path"
      StrCpy $1 "the PATH cannot be read whole (too long, or not a string)"
      ${ExitDo}
    ${EndIf}
    IntOp $4 $4 + 1
  ${Loop}
!macroend
!macro READ_PATH UN
  Function ${UN}ReadPath
    StrCpy $1 ""
    ClearErrors
    ${If} $MultiUser.InstallMode == "AllUsers"
      ReadRegStr $0 HKLM "${MACHINE_ENVIRONMENT}" "Path"
      ${If} ${Errors}
        !insertmacro PATH_VALUE_EXISTS HKLM "${MACHINE_ENVIRONMENT}"
      ${EndIf}
    ${Else}
      ReadRegStr $0 HKCU "${USER_ENVIRONMENT}" "Path"
      ${If} ${Errors}
        !insertmacro PATH_VALUE_EXISTS HKCU "${USER_ENVIRONMENT}"
      ${EndIf}
    ${EndIf}
    StrLen $2 $0
    ${If} $2 >= ${PATH_LIMIT}
      StrCpy $1 "the PATH is longer than this installer can edit without losing a part of it"
    ${EndIf}
  FunctionEnd

  ; An empty PATH (the entry removed was the only one) goes as a value, as before the install.
  Function ${UN}WritePath
    ${If} $MultiUser.InstallMode == "AllUsers"
      ${If} $0 == ""
        DeleteRegValue HKLM "${MACHINE_ENVIRONMENT}" "Path"
      ${Else}
        WriteRegExpandStr HKLM "${MACHINE_ENVIRONMENT}" "Path" $0
      ${EndIf}
    ${ElseIf} $0 == ""
      DeleteRegValue HKCU "${USER_ENVIRONMENT}" "Path"
    ${Else}
      WriteRegExpandStr HKCU "${USER_ENVIRONMENT}" "Path" $0
    ${EndIf}
    ; Open programs that listen take the new PATH; a new console window takes it anyway.
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
  FunctionEnd
!macroend
!insertmacro READ_PATH ""
!insertmacro READ_PATH "un."

Section "gwctl, gwemu and the SDK" SecFiles
  SectionIn RO
  !include "${FILES}/install.nsh"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "gatewayutils maintainers"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

Section /o "Add the tools to the PATH" SecPath
  Call ReadPath
  ${If} $1 != ""
    DetailPrint "The tools are not added to the PATH: $1."
    MessageBox MB_OK|MB_ICONEXCLAMATION "The tools are not added to the PATH: $1. Add $INSTDIR\bin by hand." /SD IDOK
    Return
  ${EndIf}
  ; Already there (a repair over the same folder): nothing to add, and nothing to remove later.
  ${StrStr} $2 ";$0;" ";$INSTDIR\bin;"
  ${If} $2 != ""
    DetailPrint "$INSTDIR\bin is on the PATH already."
    Return
  ${EndIf}
  StrLen $2 $0
  StrLen $3 "$INSTDIR\bin"
  IntOp $2 $2 + $3
  ${If} $2 >= ${PATH_LIMIT}
    DetailPrint "The tools are not added to the PATH: it would be longer than this installer can write."
    MessageBox MB_OK|MB_ICONEXCLAMATION "The tools are not added to the PATH: it would be too long for this installer. Add $INSTDIR\bin by hand." /SD IDOK
    Return
  ${EndIf}
  ${If} $0 == ""
    StrCpy $0 "$INSTDIR\bin"
  ${Else}
    StrCpy $2 $0 1 -1
    ${If} $2 == ";"
      StrCpy $0 "$0$INSTDIR\bin"
    ${Else}
      StrCpy $0 "$0;$INSTDIR\bin"
    ${EndIf}
  ${EndIf}
  Call WritePath
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "PathEntry" "$INSTDIR\bin"
  DetailPrint "Added $INSTDIR\bin to the PATH."
SectionEnd

LangString DESC_SecFiles ${LANG_ENGLISH} "The tools, their DLLs, the samples and the SDK (headers, import libraries, CMake and pkg-config files)."
LangString DESC_SecPath ${LANG_ENGLISH} "Lets a console run gwctl and gwemu from any folder."
!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecFiles} $(DESC_SecFiles)
  !insertmacro MUI_DESCRIPTION_TEXT ${SecPath} $(DESC_SecPath)
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  StrCpy $GivenFolder $INSTDIR
  !insertmacro MULTIUSER_INIT
  ${If} $GivenFolder != ""
    StrCpy $INSTDIR $GivenFolder
  ${EndIf}
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/AddToPath" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecPath}
  ${EndIf}
FunctionEnd

; Removes the entry the installer added, and only that one, from the PATH in $0: every element
; equal to it (ignoring case, as Windows does) goes, the others stay in their order.
Function un.RemovePathEntry
  Exch $3  ; the entry
  Push $4  ; what is left to split
  Push $5  ; one element
  Push $6  ; the result
  Push $7
  StrCpy $4 $0
  StrCpy $6 ""
  ${Do}
    ${UnStrStr} $7 $4 ";"
    ${If} $7 == ""
      StrCpy $5 $4
      StrCpy $4 ""
    ${Else}
      StrLen $5 $7
      StrLen $7 $4
      IntOp $7 $7 - $5
      StrCpy $5 $4 $7
      StrCpy $4 $4 "" $7
      StrCpy $4 $4 "" 1
    ${EndIf}
    ${If} $5 != $3
    ${AndIf} $5 != "$3\"
      ${If} $6 == ""
        StrCpy $6 $5
      ${Else}
        StrCpy $6 "$6;$5"
      ${EndIf}
    ${EndIf}
  ${LoopUntil} $4 == ""
  StrCpy $0 $6
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
FunctionEnd

Var Registered  ; whether the uninstall registration names this folder

Section "Uninstall"
  ReadRegStr $3 SHCTX "${UNINSTALL_KEY}" "PathEntry"
  ${If} $Registered == 1
  ${AndIf} $3 != ""
    Call un.ReadPath
    ${If} $1 != ""
      DetailPrint "$3 stays on the PATH: $1."
      MessageBox MB_OK|MB_ICONEXCLAMATION "$3 stays on the PATH: $1. Remove it by hand." /SD IDOK
    ${Else}
      Push $3
      Call un.RemovePathEntry
      Call un.WritePath
      DetailPrint "Removed $3 from the PATH."
    ${EndIf}
  ${EndIf}

  ClearErrors
  !include "${FILES}/uninstall.nsh"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ${If} ${FileExists} "$INSTDIR\*.*"
    DetailPrint "$INSTDIR stays: it holds files the installer did not put there, or files in use."
  ${EndIf}
  ; Another installation of the same mode registered since keeps its registration.
  ${If} $Registered == 1
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  ${EndIf}
SectionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
  ; Run without the mode it was installed in (uninstall.exe started by hand): the registration
  ; that names this folder decides.
  StrCpy $Registered 0
  ReadRegStr $0 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != $INSTDIR
    ${If} $MultiUser.InstallMode == "AllUsers"
      ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
      ${If} $0 == $INSTDIR
        Call un.MultiUser.InstallMode.CurrentUser
      ${EndIf}
    ${Else}
      ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
      ${If} $0 == $INSTDIR
        Call un.MultiUser.InstallMode.AllUsers
      ${EndIf}
    ${EndIf}
    ReadRegStr $0 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  ${EndIf}
  ${If} $0 == $INSTDIR
    StrCpy $Registered 1
  ${EndIf}
FunctionEnd
