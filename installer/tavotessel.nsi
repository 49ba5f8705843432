; TavoTessel's installer and uninstaller, for 64-bit Windows.
;
; makensis -INPUTCHARSET UTF8 with these definitions (installer/CMakeLists.txt
; passes them):
;   VERSION        product version, four numbers ("Version" in the registry,
;                  the update manifest and the product version resource)
;   FILE_VERSION   file version, the build number as its fourth number
;   OUTFILE        the installer to write
;   CLIENT_EXE, UPDATER_EXE, OVERLAY_DLL, CRASHRPT_DLL   the programs
;   ICON           the product's icon
;
; Switches: see switches.nsh. Exit code 0 when installed, 1 when the user
; cancelled, 2 when the installation stopped on an error.

Unicode true
Target amd64-unicode
RequestExecutionLevel admin
ManifestDPIAware true
SetCompressor /SOLID lzma

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "switches.nsh"
!include "client.nsh"
!include "files.nsh"

!insertmacro TavoSwitchFunctions ""
!insertmacro TavoSwitchFunctions "un."
!insertmacro TavoClientFunctions ""
!insertmacro TavoClientFunctions "un."

!define START_MENU_FOLDER "$SMPROGRAMS\TavoTessel"

Name "TavoTessel"
Caption "TavoTessel - 安装"
UninstallCaption "TavoTessel - 卸载"
BrandingText "TavoTessel ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\TavoTessel"
; An upgrade goes where the installed version is.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

Var Upgrading   ; 1 when a client was installed in the program folder before

; ---- pages ------------------------------------------------------------------

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_ABORTWARNING_TEXT "确定要退出 TavoTessel 安装程序吗？"

!define MUI_WELCOMEPAGE_TITLE "欢迎安装 TavoTessel ${VERSION}"
!define MUI_WELCOMEPAGE_TEXT "TavoTessel 网盘客户端让您电脑上的一个文件夹与网盘保持同步。$\r$\n$\r$\n如果 TavoTessel 正在运行，安装程序会先将它退出，您的帐户、设置和网盘文件夹都会保留。$\r$\n$\r$\n点击“下一步”继续。"
!define MUI_PAGE_CUSTOMFUNCTION_PRE TavoSkipPageWhenQuiet
!insertmacro MUI_PAGE_WELCOME
!define MUI_PAGE_CUSTOMFUNCTION_PRE TavoSkipPageWhenQuiet
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_PAGE_CUSTOMFUNCTION_PRE TavoSkipPageWhenQuiet
!define MUI_FINISHPAGE_TITLE "TavoTessel 安装完成"
!define MUI_FINISHPAGE_TEXT "TavoTessel ${VERSION} 已安装到您的电脑。"
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "运行 TavoTessel"
!define MUI_FINISHPAGE_RUN_FUNCTION TavoStartClientFromFinishPage
!define MUI_FINISHPAGE_NOREBOOTSUPPORT
!insertmacro MUI_PAGE_FINISH

!define MUI_PAGE_CUSTOMFUNCTION_PRE un.TavoSkipPageWhenQuiet
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "SimpChinese"

VIProductVersion "${VERSION}"
VIFileVersion "${FILE_VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductName" "TavoTessel"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileDescription" "TavoTessel安装程序"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileVersion" "${FILE_VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "OriginalFilename" "TavoTesselSetup-${VERSION}.exe"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "LegalCopyright" "TavoTessel"

; ---- installation -------------------------------------------------------------

Function .onInit
    Call TavoReadSwitches
FunctionEnd

Function TavoStartClientFromFinishPage
    Push $Upgrading
    Call TavoStartClient
FunctionEnd

Section "TavoTessel" SectionMain
    SectionIn RO
    SetShellVarContext all
    SetOutPath "$INSTDIR"
    StrCpy $Upgrading 0
    ${If} ${FileExists} "$INSTDIR\TavoTessel.exe"
        StrCpy $Upgrading 1
    ${EndIf}

    Call TavoEndRunningClient
    Call TavoDeleteAsideFiles
    DetailPrint "正在复制文件..."
    !insertmacro TavoInstallFile "TavoTessel.exe" "${CLIENT_EXE}"
    !insertmacro TavoInstallFile "TavoTesselUpdate.exe" "${UPDATER_EXE}"
    !insertmacro TavoInstallFile "CrashRpt.dll" "${CRASHRPT_DLL}"
    !insertmacro TavoInstallFile "Glint.dll" "${OVERLAY_DLL}"
    Push "$INSTDIR\${UNINSTALLER}"
    Call TavoClearPath
    WriteUninstaller "$INSTDIR\${UNINSTALLER}"

    DetailPrint "正在注册资源管理器图标扩展..."
    ClearErrors
    RegDLL "$INSTDIR\Glint.dll"
    ${If} ${Errors}
        Push "无法注册资源管理器图标扩展，文件图标上将不显示同步状态。"
        Call TavoTell
    ${EndIf}

    ; The installed product version, which the updater compares with the
    ; manifest's.
    WriteRegStr HKCU "${SETTINGS_KEY}" "Version" "${VERSION}"
    Call TavoWriteUninstallEntry
    CreateDirectory "${START_MENU_FOLDER}"
    CreateShortcut "${START_MENU_FOLDER}\TavoTessel.lnk" "$INSTDIR\TavoTessel.exe"
    CreateShortcut "${START_MENU_FOLDER}\卸载 TavoTessel.lnk" "$INSTDIR\${UNINSTALLER}"

    ; With its pages the installer leaves the start to the finish page.
    ${If} $QuietLevel != ${QUIET_NONE}
        Push $Upgrading
        Call TavoStartClient
        SetAutoClose true
    ${EndIf}
SectionEnd

; ---- removal ------------------------------------------------------------------

Function un.onInit
    Call un.TavoReadSwitches
FunctionEnd

; The account's settings and state files stay unless the user asks for
; their removal; the sync folder always stays.
Function un.TavoRemoveAccountData
    Push "是否同时删除 TavoTessel 的帐户设置和同步记录？$\r$\n$\r$\n网盘文件夹及其中的文件不会被删除。"
    Push "no"
    Call un.TavoAskYesNo
    Pop $0
    ${If} $0 == "yes"
        SetShellVarContext current
        DeleteRegKey "HKCU" "${SETTINGS_KEY}"
        DeleteRegKey /ifempty "HKCU" "Software\Tavo"
        Delete "$APPDATA\Tavo\Tessel\*.user_cfg"
        RMDir "$APPDATA\Tavo\Tessel"
        RMDir "$APPDATA\Tavo"
        SetShellVarContext all
    ${EndIf}
FunctionEnd

; The file type of the client's temporary files, when it is still ours.
Function un.TavoRemoveFileType
    ReadRegStr $0 HKCR ".tavo" ""
    ${If} $0 == "Tavofile"
        DeleteRegKey HKCR ".tavo"
    ${EndIf}
    DeleteRegKey HKCR "Tavofile"
    DeleteRegKey HKCU "Software\Classes\.tavo"
    DeleteRegKey HKCU "Software\Classes\Tavofile"
    System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0x1000, p 0, p 0)'
FunctionEnd

Section "Uninstall"
    SetShellVarContext all
    Call un.TavoEndRunningClient

    DetailPrint "正在注销资源管理器图标扩展..."
    UnRegDLL "$INSTDIR\Glint.dll"
    !insertmacro TavoRemoveOverlayKeys

    DetailPrint "正在删除文件..."
    Delete /REBOOTOK "$INSTDIR\TavoTessel.exe"
    Delete /REBOOTOK "$INSTDIR\TavoTesselUpdate.exe"
    Delete /REBOOTOK "$INSTDIR\CrashRpt.dll"
    Delete /REBOOTOK "$INSTDIR\Glint.dll"
    Delete /REBOOTOK "$INSTDIR\*.old"
    Delete "$INSTDIR\${UNINSTALLER}"
    RMDir /REBOOTOK "$INSTDIR"
    Delete "${START_MENU_FOLDER}\TavoTessel.lnk"
    Delete "${START_MENU_FOLDER}\卸载 TavoTessel.lnk"
    RMDir "${START_MENU_FOLDER}"

    DeleteRegValue HKCU "${RUN_KEY}" "${AUTORUN_VALUE}"
    DeleteRegValue HKCU "${SETTINGS_KEY}" "Version"
    Call un.TavoRemoveFileType
    Call un.TavoRemoveAccountData
    ; Last, so that the entry stays listed while anything else is left.
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
