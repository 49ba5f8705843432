; The running client, seen from the installer and the uninstaller: it is
; found by its tray window, asked to end through its normal shutdown, and
; waited for with a deadline; after an upgrade the new client is started
; and told that it was upgraded.
;
; The window contract is the client's own (common/tray_contract.h): the
; private message WM_TRAYNOTIFY with the notice in lParam. TE_INCOMPATIBLE
; makes the client destroy its tray window and leave its message loop, so
; that it shuts down as after its menu's exit command, without the
; question that command asks. TE_UPGRADED shows the upgrade balloon.

!define TRAY_WINDOW_CLASS "_TavoTesselTrayWndClass"
!define WM_TRAYNOTIFY 2304
!define TE_UPGRADED 3630
!define TE_INCOMPATIBLE 3631

; How long a client may take over its shutdown, and how long a new client
; may take until its tray window exists.
!define CLIENT_END_DEADLINE_MS 10000
!define CLIENT_START_DEADLINE_MS 30000
!define CLIENT_POLL_MS 100
; A client that keeps coming back (a second start on its way) is asked
; this many times at most.
!define CLIENT_END_ROUNDS 3

!define SYNCHRONIZE_AND_TERMINATE 0x00100001
!define WAIT_OBJECT_0 0

Var ClientWindow
Var ClientProcess
Var ClientWait
Var ClientRound

!macro TavoClientFunctions PREFIX

; Ends the client whose tray window is $ClientWindow and whose process
; handle is $ClientProcess, after it did not end in time. Without pages, or
; with /SUPPRESSMSGBOXES, it is ended; otherwise the user decides, and a
; refusal stops the installation with the reason.
Function ${PREFIX}TavoForceEndClient
    Push "TavoTessel 没有响应，无法正常退出。$\r$\n$\r$\n是否强制结束 TavoTessel 并继续？"
    Push "yes"
    Call ${PREFIX}TavoAskYesNo
    Pop $ClientWait
    ${If} $ClientWait != "yes"
        Push "TavoTessel 仍在运行，操作已停止。请退出 TavoTessel 后重新运行本程序。"
        Call ${PREFIX}TavoTell
        System::Call 'kernel32::CloseHandle(p $ClientProcess)'
        Call ${PREFIX}TavoStop
    ${EndIf}
    ${If} $ClientProcess == 0
        Push "无法结束 TavoTessel，操作已停止。请退出 TavoTessel 后重新运行本程序。"
        Call ${PREFIX}TavoTell
        Call ${PREFIX}TavoStop
    ${EndIf}
    DetailPrint "强制结束 TavoTessel"
    System::Call 'kernel32::TerminateProcess(p $ClientProcess, i 1)'
    System::Call 'kernel32::WaitForSingleObject(p $ClientProcess, i ${CLIENT_END_DEADLINE_MS}) i'
FunctionEnd

; Waits for the client's process to end, or, without a handle to it, for
; its tray window to vanish. $ClientWait is WAIT_OBJECT_0 when it did.
Function ${PREFIX}TavoWaitForClientEnd
    ${If} $ClientProcess != 0
        System::Call 'kernel32::WaitForSingleObject(p $ClientProcess, i ${CLIENT_END_DEADLINE_MS}) i .s'
        Pop $ClientWait
        Return
    ${EndIf}
    StrCpy $ClientWait 0
    ${Do}
        System::Call 'user32::IsWindow(p $ClientWindow) i .s'
        Pop $ClientRound
        ${IfThen} $ClientRound == 0 ${|} Return ${|}
        ${IfThen} $ClientWait >= ${CLIENT_END_DEADLINE_MS} ${|} ${ExitDo} ${|}
        Sleep ${CLIENT_POLL_MS}
        IntOp $ClientWait $ClientWait + ${CLIENT_POLL_MS}
    ${Loop}
    StrCpy $ClientWait 1
FunctionEnd

; Asks every running client to end and waits for it.
Function ${PREFIX}TavoEndRunningClient
    StrCpy $ClientRound 0
    ${Do}
        FindWindow $ClientWindow "${TRAY_WINDOW_CLASS}" ""
        ${IfThen} $ClientWindow == 0 ${|} Return ${|}
        DetailPrint "正在退出 TavoTessel..."
        System::Call 'user32::GetWindowThreadProcessId(p $ClientWindow, *i .s)'
        Pop $ClientProcess
        System::Call 'kernel32::OpenProcess(i ${SYNCHRONIZE_AND_TERMINATE}, i 0, i $ClientProcess) p .s'
        Pop $ClientProcess
        System::Call 'user32::PostMessageW(p $ClientWindow, i ${WM_TRAYNOTIFY}, p 0, p ${TE_INCOMPATIBLE})'
        Call ${PREFIX}TavoWaitForClientEnd
        ${If} $ClientWait != ${WAIT_OBJECT_0}
            Call ${PREFIX}TavoForceEndClient
        ${EndIf}
        System::Call 'kernel32::CloseHandle(p $ClientProcess)'
        IntOp $ClientRound $ClientRound + 1
    ${LoopUntil} $ClientRound >= ${CLIENT_END_ROUNDS}
    FindWindow $ClientWindow "${TRAY_WINDOW_CLASS}" ""
    ${If} $ClientWindow != 0
        Push "TavoTessel 仍在运行，操作已停止。请退出 TavoTessel 后重新运行本程序。"
        Call ${PREFIX}TavoTell
        Call ${PREFIX}TavoStop
    ${EndIf}
FunctionEnd

!macroend

; Starts the installed client; after an upgrade ($0 is 1) waits for its
; tray window and tells it, so that it shows the upgrade balloon.
Function TavoStartClient
    Exch $0
    DetailPrint "正在启动 TavoTessel..."
    Exec '"$INSTDIR\TavoTessel.exe"'
    ${If} $0 == 1
        StrCpy $ClientWait 0
        ${Do}
            FindWindow $ClientWindow "${TRAY_WINDOW_CLASS}" ""
            ${If} $ClientWindow != 0
                System::Call 'user32::PostMessageW(p $ClientWindow, i ${WM_TRAYNOTIFY}, p 0, p ${TE_UPGRADED})'
                ${ExitDo}
            ${EndIf}
            ${IfThen} $ClientWait >= ${CLIENT_START_DEADLINE_MS} ${|} ${ExitDo} ${|}
            Sleep ${CLIENT_POLL_MS}
            IntOp $ClientWait $ClientWait + ${CLIENT_POLL_MS}
        ${Loop}
    ${EndIf}
    Pop $0
FunctionEnd
