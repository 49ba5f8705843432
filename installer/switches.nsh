; The command line, as the updater and people write it: "/SILENT" (progress
; only, no pages), "/VERYSILENT" (nothing shown), "/SUPPRESSMSGBOXES" (every
; question takes its default answer), "/NORESTART" (the installer never
; restarts Windows anyway), NSIS's own "/S" (as "/VERYSILENT"), in any order
; and letter case, separated by any number of blanks. The updater passes the
; switches alone, without the program's path in front, so the first word is
; a switch like any other; NSIS itself takes "/D=" off the end.
;
; Both the installer and the uninstaller read it: the functions are made
; twice, with the prefix "" and "un.".

Var QuietLevel      ; 0 pages and questions, 1 progress only, 2 nothing shown
Var SuppressBoxes   ; 1: every question takes its default answer

!define QUIET_NONE 0
!define QUIET_PROGRESS 1
!define QUIET_ALL 2

; The tokenizer's state; plain variables, as both programs use them.
Var SwitchLine      ; what is left of the command line
Var SwitchWord      ; the word just taken, without its quotes
Var SwitchPos
Var SwitchChar
Var SwitchEnd

!macro TavoSwitchFunctions PREFIX

; Takes the first word off $SwitchLine into $SwitchWord; both are empty at
; the end of the line. A quoted word (the program's path) ends at its
; closing quote, any other at the next blank.
Function ${PREFIX}TavoNextWord
    StrCpy $SwitchPos 0
    ${Do}
        StrCpy $SwitchChar $SwitchLine 1 $SwitchPos
        ${IfThen} $SwitchChar != " " ${|} ${ExitDo} ${|}
        IntOp $SwitchPos $SwitchPos + 1
    ${Loop}
    StrCpy $SwitchLine $SwitchLine "" $SwitchPos
    StrCpy $SwitchEnd " "
    StrCpy $SwitchChar $SwitchLine 1
    ${If} $SwitchChar == '"'
        StrCpy $SwitchEnd '"'
        StrCpy $SwitchLine $SwitchLine "" 1
    ${EndIf}
    StrCpy $SwitchPos 0
    ${Do}
        StrCpy $SwitchChar $SwitchLine 1 $SwitchPos
        ${IfThen} $SwitchChar == "" ${|} ${ExitDo} ${|}
        ${IfThen} $SwitchChar == $SwitchEnd ${|} ${ExitDo} ${|}
        IntOp $SwitchPos $SwitchPos + 1
    ${Loop}
    StrCpy $SwitchWord $SwitchLine $SwitchPos
    IntOp $SwitchPos $SwitchPos + 1
    StrCpy $SwitchLine $SwitchLine "" $SwitchPos
FunctionEnd

Function ${PREFIX}TavoReadSwitches
    StrCpy $QuietLevel ${QUIET_NONE}
    StrCpy $SuppressBoxes 0
    ${If} ${Silent}
        StrCpy $QuietLevel ${QUIET_ALL}
    ${EndIf}
    StrCpy $SwitchLine $CMDLINE
    ${Do}
        Call ${PREFIX}TavoNextWord
        ${If} $SwitchWord == ""
        ${AndIf} $SwitchLine == ""
            ${ExitDo}
        ${EndIf}
        ; StrCmp, and so ==, ignores letter case.
        ${If} $SwitchWord == "/VERYSILENT"
        ${OrIf} $SwitchWord == "/S"
            StrCpy $QuietLevel ${QUIET_ALL}
        ${ElseIf} $SwitchWord == "/SILENT"
            ${IfThen} $QuietLevel == ${QUIET_NONE} ${|} StrCpy $QuietLevel ${QUIET_PROGRESS} ${|}
        ${ElseIf} $SwitchWord == "/SUPPRESSMSGBOXES"
            StrCpy $SuppressBoxes 1
        ${EndIf}
    ${Loop}
    ${If} $QuietLevel == ${QUIET_ALL}
        SetSilent silent
    ${EndIf}
FunctionEnd

; Pages other than the progress are left out unless the installer runs
; with its pages.
Function ${PREFIX}TavoSkipPageWhenQuiet
    ${If} $QuietLevel != ${QUIET_NONE}
        Abort
    ${EndIf}
FunctionEnd

; Stack in: the question, then on top its default answer ("yes" or "no").
; Stack out: the answer. Without pages, or with /SUPPRESSMSGBOXES, the
; default answers.
Function ${PREFIX}TavoAskYesNo
    Exch $1          ; default
    Exch
    Exch $0          ; question
    ${If} $QuietLevel == ${QUIET_ALL}
    ${OrIf} $SuppressBoxes == 1
        StrCpy $0 $1
    ${ElseIf} $1 == "yes"
        StrCpy $1 "no"
        MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON1 "$0" IDNO +2
        StrCpy $1 "yes"
        StrCpy $0 $1
    ${Else}
        StrCpy $1 "no"
        MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "$0" IDNO +2
        StrCpy $1 "yes"
        StrCpy $0 $1
    ${EndIf}
    Pop $1
    Exch $0
FunctionEnd

; Stops the installation or removal on an error: with its pages it shows
; the failure on the progress page; without, the progress page would wait
; for a click that nobody gives, so the program ends at once with exit
; code 2, as NSIS ends an aborted silent run.
Function ${PREFIX}TavoStop
    ${If} $QuietLevel != ${QUIET_NONE}
        SetErrorLevel 2
        Quit
    ${EndIf}
    Abort
FunctionEnd

; Stack in: a message the user must see; it goes to the progress list
; always, and into a message box unless boxes are suppressed.
Function ${PREFIX}TavoTell
    Exch $0
    DetailPrint "$0"
    ${If} $QuietLevel != ${QUIET_ALL}
    ${AndIf} $SuppressBoxes != 1
        MessageBox MB_OK|MB_ICONEXCLAMATION "$0"
    ${EndIf}
    Pop $0
FunctionEnd

!macroend
