; The program folder's files and the registry entries of the installation.
;
; A file in use (the overlay DLL that Explorer holds, a program still on its
; way out) cannot be overwritten or deleted, but it can be renamed: it is
; moved aside under a name ending in ".old" and deleted at once if it can
; be, else by the next installation or removal, or at the next start of
; Windows, whichever comes first. Nothing waits for a restart.

!define SETTINGS_KEY "Software\Tavo\Tessel"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define AUTORUN_VALUE "Tessel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TavoTessel"
!define IDENTIFIERS_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\ShellIconOverlayIdentifiers"
!define OVERLAY_CLSID_HEAD "{A6BD43D"
!define OVERLAY_CLSID_TAIL "-1439-4577-9727-CD081B1C0597}"
!define UNINSTALLER "uninst.exe"

Var AsidePath
Var AsideIndex

; Stack in: a path. Deletes the file, or moves it aside when it is in use.
; Sets the error flag when neither could be done.
Function TavoClearPath
    Exch $0
    ClearErrors
    Delete "$0"
    ${If} ${Errors}
        StrCpy $AsideIndex 1
        ${Do}
            StrCpy $AsidePath "$0.$AsideIndex.old"
            ${IfNot} ${FileExists} "$AsidePath"
                ${ExitDo}
            ${EndIf}
            IntOp $AsideIndex $AsideIndex + 1
        ${Loop}
        ClearErrors
        Rename "$0" "$AsidePath"
        ${IfNot} ${Errors}
            DetailPrint "文件正在使用中，已移到一旁：$AsidePath"
            Delete /REBOOTOK "$AsidePath"
        ${EndIf}
    ${EndIf}
    Pop $0
FunctionEnd

; Files moved aside by an earlier run, as far as nothing holds them now.
Function TavoDeleteAsideFiles
    Delete "$INSTDIR\*.old"
    ClearErrors
FunctionEnd

; Writes one file of the program folder from the package.
!macro TavoInstallFile NAME SOURCE
    Push "$INSTDIR\${NAME}"
    Call TavoClearPath
    ${If} ${Errors}
        Push "无法替换文件 $INSTDIR\${NAME}，安装已停止。请关闭使用它的程序后重新运行安装程序。"
        Call TavoTell
        Call TavoStop
    ${EndIf}
    File "/oname=${NAME}" "${SOURCE}"
!macroend

Function TavoWriteUninstallEntry
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "TavoTessel"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\TavoTessel.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "TavoTessel"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    IntFmt $0 "0x%08X" $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
FunctionEnd

; The overlay's five classes and identifiers, whatever is left of them once
; the DLL's own removal has run (or could not, the DLL being gone).
!macro TavoRemoveOverlayKeys
    !insertmacro TavoRemoveOverlayClass 0 Synced
    !insertmacro TavoRemoveOverlayClass 1 NotSynced
    !insertmacro TavoRemoveOverlayClass 2 Syncing
    !insertmacro TavoRemoveOverlayClass 3 Error
    !insertmacro TavoRemoveOverlayClass 4 Conflict
!macroend

!macro TavoRemoveOverlayClass INDEX NAME
    DeleteRegKey HKCR "CLSID\${OVERLAY_CLSID_HEAD}${INDEX}${OVERLAY_CLSID_TAIL}"
    DeleteRegKey HKLM "${IDENTIFIERS_KEY}\.Tavo_Tessel_${NAME}"
!macroend
