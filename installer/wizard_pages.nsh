; The wizard's own pages: the program folder, the settings folder, the daily Z report and the
; summary before the install. Each opens with the focus in its field; a value refused gets a box
; that says why, and the page keeps what was typed.

Var ProgramFolderField
Var SettingsFolderField
Var DailyCheckbox
Var DailyTimeLabel
Var DailyTimeField

!define FIELD_WIDTH 236u
!define BROWSE_LEFT 240u ; a button of 55u, ending short of the page's right edge
!define BUTTON_WIDTH 55u

; The focus into CONTROL, as Tab would put it there (an edit field's text selected).
!macro FocusOn CONTROL
  SendMessage $HWNDPARENT ${WM_NEXTDLGCTL} ${CONTROL} 1
!macroend

; A folder page: its text, a field holding FOLDER and "Răsfoire..." (BROWSE_FUNCTION); the field
; in FIELD.
!macro FolderPage TITLE SUBTITLE TEXT CAPTION FOLDER FIELD BROWSE_FUNCTION
  !insertmacro MUI_HEADER_TEXT "${TITLE}" "${SUBTITLE}"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 60u "${TEXT}"
  Pop $0
  ${NSD_CreateLabel} 0 70u 100% 10u "${CAPTION}"
  Pop $0
  ${NSD_CreateDirRequest} 0 82u ${FIELD_WIDTH} 13u "${FOLDER}"
  Pop ${FIELD}
  ${NSD_CreateBrowseButton} ${BROWSE_LEFT} 81u ${BUTTON_WIDTH} 15u "$(^BrowseBtn)"
  Pop $0
  ${NSD_OnClick} $0 ${BROWSE_FUNCTION}
  !insertmacro FocusOn ${FIELD}
!macroend

; "Răsfoire...": the folder chosen, or a folder for Kestrelon in it, as the page accepts it (on
; C: a program folder C:\Kestrelon, a settings folder C:\Kestrelon or beside the programs).
!macro BrowseFolder KIND FIELD CAPTION
  Pop $0 ; the button
  ${NSD_GetText} ${FIELD} $0
  nsDialogs::SelectFolderDialog "${CAPTION}" "$0"
  Pop $0
  ${If} $0 != error
    KestrelonSetup::Proposal ${KIND} $0 $SettingsFolder $INSTDIR $PROGRAMFILES $PROGRAMFILES64 $WINDIR
    Pop $0
    ${NSD_SetText} ${FIELD} "$0"
  ${EndIf}
!macroend

Function ProgramFolderPage
  Push $0
  !insertmacro FolderPage "${TEXT_PROGRAM_PAGE_TITLE}" "${TEXT_PROGRAM_PAGE_SUBTITLE}" \
      "${TEXT_PROGRAM_PAGE_TEXT}" "${TEXT_PROGRAM_PAGE_BROWSE}" "$ProgramFolderTyped" \
      $ProgramFolderField BrowseProgramFolder
  ${NSD_OnBack} KeepProgramFolder
  nsDialogs::Show
  Pop $0
FunctionEnd

; Back keeps what was typed: the page shows it again.
Function KeepProgramFolder
  ${NSD_GetText} $ProgramFolderField $ProgramFolderTyped
FunctionEnd

Function BrowseProgramFolder
  !insertmacro BrowseFolder program $ProgramFolderField "${TEXT_PROGRAM_PAGE_BROWSE}"
FunctionEnd

; The program folder judged whole; then the settings folder proposed, unless chosen already, is
; one the settings page accepts beside it.
Function ProgramFolderPageLeave
  Call KeepProgramFolder
  Push $ProgramFolderTyped
  Call CheckProgramFolder
  ${If} $R0 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION "$R0"
    Abort ; stays on the page
  ${EndIf}
  StrCpy $ProgramFolderTyped $INSTDIR
  ${If} $SettingsChosen != 1
    KestrelonSetup::Proposal settings $SettingsFolder $SettingsFolder $INSTDIR $PROGRAMFILES $PROGRAMFILES64 $WINDIR
    Pop $SettingsFolder
  ${EndIf}
FunctionEnd

Function SettingsFolderPage
  Push $0
  !insertmacro FolderPage "${TEXT_SETTINGS_PAGE_TITLE}" "${TEXT_SETTINGS_PAGE_SUBTITLE}" \
      "${TEXT_SETTINGS_PAGE_TEXT}" "${TEXT_SETTINGS_PAGE_BROWSE}" "$SettingsFolder" \
      $SettingsFolderField BrowseSettingsFolder
  ${NSD_OnBack} KeepSettingsFolder
  nsDialogs::Show
  Pop $0
FunctionEnd

; Back keeps what was typed: the page shows it again.
Function KeepSettingsFolder
  ${NSD_GetText} $SettingsFolderField $SettingsFolder
FunctionEnd

Function BrowseSettingsFolder
  !insertmacro BrowseFolder settings $SettingsFolderField "${TEXT_SETTINGS_PAGE_BROWSE}"
FunctionEnd

; The folder is judged with the program folder chosen on the page before.
Function SettingsFolderPageLeave
  Call KeepSettingsFolder
  Push $SettingsFolder
  Call CheckSettingsFolder
  ${If} $R0 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION "$R0"
    Abort ; stays on the page
  ${EndIf}
  StrCpy $SettingsChosen 1
FunctionEnd

; The daily task: a checkbox, and below it the time, which can be typed only while the box is
; ticked; off unless an earlier install (or /ORA) has a time. On Windows XP both are disabled
; and the text points to the guide.
Function DailyReportPage
  Push $0
  Push $1
  !insertmacro MUI_HEADER_TEXT "${TEXT_DAILY_PAGE_TITLE}" "${TEXT_DAILY_PAGE_SUBTITLE}"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateCheckbox} 0 0 240u 12u "${TEXT_DAILY_CHECKBOX}"
  Pop $DailyCheckbox
  ${NSD_OnClick} $DailyCheckbox DailyTimeUsable
  ; "la ora:" ends where its field begins, in every font.
  ${NSD_CreateLabel} 0 16u 40u 12u "${TEXT_DAILY_AT}"
  Pop $DailyTimeLabel
  ${NSD_AddStyle} $DailyTimeLabel ${SS_RIGHT}
  StrCpy $1 $DailyTime
  ${IfThen} $1 == "" ${|} StrCpy $1 "${DEFAULT_DAILY_TIME}" ${|}
  ${NSD_CreateText} 43u 14u 30u 12u "$1"
  Pop $DailyTimeField
  ${NSD_SetTextLimit} $DailyTimeField 5
  ${If} ${AtLeastWinVista}
    ${NSD_CreateLabel} 0 34u 100% 100u "${TEXT_DAILY_PAGE_TEXT}"
    Pop $0
    ${IfThen} $DailyTime != "" ${|} ${NSD_Check} $DailyCheckbox ${|}
  ${Else}
    ${NSD_CreateLabel} 0 34u 100% 60u "${TEXT_DAILY_PAGE_XP}"
    Pop $0
    EnableWindow $DailyCheckbox 0
  ${EndIf}
  Push $DailyCheckbox
  Call DailyTimeUsable
  !insertmacro FocusOn $DailyCheckbox
  ${NSD_OnBack} KeepDailyTime
  nsDialogs::Show
  Pop $1
  Pop $0
FunctionEnd

; The time can be typed only while the box is ticked: a time typed for no task is never dropped
; without a word.
Function DailyTimeUsable
  Exch $0 ; the checkbox
  ${NSD_GetState} $0 $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $0 1
  ${Else}
    StrCpy $0 0
  ${EndIf}
  EnableWindow $DailyTimeLabel $0
  EnableWindow $DailyTimeField $0
  Pop $0
FunctionEnd

; Back keeps what was chosen: the time as typed, or none when unticked.
Function KeepDailyTime
  Push $0
  ${NSD_GetState} $DailyCheckbox $0
  ${If} $0 == ${BST_CHECKED}
    ${NSD_GetText} $DailyTimeField $DailyTime
  ${Else}
    StrCpy $DailyTime ""
  ${EndIf}
  Pop $0
FunctionEnd

; A time as a person types it (7:05 is 07:05); one that names no time gets a box.
Function DailyReportPageLeave
  Push $0
  Call KeepDailyTime
  ${If} $DailyTime != ""
    KestrelonSetup::TimeOfDay $DailyTime
    Pop $0
    ${If} $0 == ""
      MessageBox MB_OK|MB_ICONEXCLAMATION "${TEXT_BAD_TIME}"
      Pop $0
      Abort ; stays on the page
    ${EndIf}
    StrCpy $DailyTime $0
  ${EndIf}
  Pop $0
FunctionEnd

; $Summary: the folders, the port and the daily report as they are chosen, or once installed.
Function WriteSummary
  StrCpy $Summary "${TEXT_SUMMARY_FOLDERS}$\r$\n${TEXT_SUMMARY_PORT}"
  ${If} $PinnedPort != ""
    StrCpy $Summary "$Summary ${TEXT_SUMMARY_PORT_SAVED}"
  ${ElseIf} $PinnedNow != ""
    StrCpy $Summary "$Summary ${TEXT_SUMMARY_PORT_KEPT}"
  ${Else}
    StrCpy $Summary "$Summary ${TEXT_SUMMARY_PORT_NONE}"
  ${EndIf}
  StrCpy $Summary "$Summary$\r$\n${TEXT_SUMMARY_DAILY}"
  ${If} $TaskNotMade == 1
    StrCpy $Summary "$Summary ${TEXT_SUMMARY_DAILY_FAILED}"
  ${ElseIf} $TaskNotMade == "kept"
    StrCpy $Summary "$Summary ${TEXT_SUMMARY_DAILY_KEPT}"
  ${ElseIf} $DailyTime != ""
    StrCpy $Summary "$Summary ${TEXT_SUMMARY_DAILY_AT}"
  ${ElseIf} ${AtLeastWinVista}
    StrCpy $Summary "$Summary ${TEXT_SUMMARY_DAILY_NONE}"
  ${Else}
    StrCpy $Summary "$Summary ${TEXT_SUMMARY_DAILY_XP}"
  ${EndIf}
FunctionEnd

; Before "Instalare": what will be installed, and where.
Function SummaryPage
  Push $0
  Call WriteSummary
  !insertmacro MUI_HEADER_TEXT "${TEXT_SUMMARY_PAGE_TITLE}" "${TEXT_SUMMARY_PAGE_SUBTITLE}"
  nsDialogs::Create 1018
  Pop $0
  Push $1
  StrCpy $1 "$Summary"
  ${If} $EarlierProgramFolder != ""
    KestrelonSetup::SamePath $EarlierProgramFolder $INSTDIR
    Pop $0
    ${IfThen} $0 != 1 ${|} StrCpy $1 "$1$\r$\n$\r$\n${TEXT_SUMMARY_EARLIER}" ${|}
  ${EndIf}
  ${NSD_CreateLabel} 0 0 100% 100% "$1$\r$\n$\r$\n${TEXT_SUMMARY_PAGE_TEXT}"
  Pop $0
  nsDialogs::Show
  Pop $1
  Pop $0
FunctionEnd
