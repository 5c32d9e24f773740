; The wizard's own pages: the settings folder, and the daily Z report.

Var SettingsFolderField
Var DailyCheckbox
Var DailyTimeField

; Where Kestrelon.ini is kept: a folder field with a browse button.
Function SettingsFolderPage
  Push $0
  !insertmacro MUI_HEADER_TEXT "${TEXT_SETTINGS_PAGE_TITLE}" "${TEXT_SETTINGS_PAGE_SUBTITLE}"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 60u "${TEXT_SETTINGS_PAGE_TEXT}"
  Pop $0
  ${NSD_CreateLabel} 0 70u 100% 10u "${TEXT_SETTINGS_PAGE_BROWSE}"
  Pop $0
  ${NSD_CreateDirRequest} 0 82u 240u 13u "$SettingsFolder"
  Pop $SettingsFolderField
  ${NSD_CreateBrowseButton} 245u 81u 55u 15u "$(^BrowseBtn)"
  Pop $0
  ${NSD_OnClick} $0 BrowseSettingsFolder
  ${NSD_OnBack} KeepSettingsFolder
  nsDialogs::Show
  Pop $0
FunctionEnd

; Back keeps what was typed: the page shows it again.
Function KeepSettingsFolder
  ${NSD_GetText} $SettingsFolderField $SettingsFolder
FunctionEnd

Function BrowseSettingsFolder
  Pop $0 ; the button
  ${NSD_GetText} $SettingsFolderField $0
  nsDialogs::SelectFolderDialog "${TEXT_SETTINGS_PAGE_BROWSE}" "$0"
  Pop $0
  ${If} $0 != error
    ${NSD_SetText} $SettingsFolderField "$0"
  ${EndIf}
FunctionEnd

; The program folder as it stands on the disk: a link, a folder of somebody else's are refused.
Function ProgramFolderPageLeave
  Call CheckProgramFolder
  ${If} $R0 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION "$R0"
    Abort ; stays on the page
  ${EndIf}
FunctionEnd

; The folder is checked against the program folder chosen on the page before.
Function SettingsFolderPageLeave
  Call KeepSettingsFolder
  Call CheckSettingsFolder
  ${If} $R0 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION "$R0"
    Abort ; stays on the page
  ${EndIf}
FunctionEnd

; The daily task: a checkbox with the time beside it, off unless an earlier install (or /ORA)
; has a time. On Windows XP both are disabled and the text points to the guide.
Function DailyReportPage
  Push $0
  Push $1
  !insertmacro MUI_HEADER_TEXT "${TEXT_DAILY_PAGE_TITLE}" "${TEXT_DAILY_PAGE_SUBTITLE}"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateCheckbox} 0 0 200u 12u "${TEXT_DAILY_CHECKBOX}"
  Pop $DailyCheckbox
  StrCpy $1 $DailyTime
  ${IfThen} $1 == "" ${|} StrCpy $1 "${DEFAULT_DAILY_TIME}" ${|}
  ${NSD_CreateText} 205u 0 35u 12u "$1"
  Pop $DailyTimeField
  ${NSD_SetTextLimit} $DailyTimeField 5
  ${If} ${AtLeastWinVista}
    ${NSD_CreateLabel} 0 22u 100% 110u "${TEXT_DAILY_PAGE_TEXT}"
    Pop $0
    ${IfThen} $DailyTime != "" ${|} ${NSD_Check} $DailyCheckbox ${|}
  ${Else}
    ${NSD_CreateLabel} 0 22u 100% 60u "${TEXT_DAILY_PAGE_XP}"
    Pop $0
    EnableWindow $DailyCheckbox 0
    EnableWindow $DailyTimeField 0
  ${EndIf}
  ${NSD_OnBack} KeepDailyTime
  nsDialogs::Show
  Pop $1
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

Function DailyReportPageLeave
  Push $0
  Push $1
  ${NSD_GetState} $DailyCheckbox $0
  ${If} $0 == ${BST_CHECKED}
    ${NSD_GetText} $DailyTimeField $1
    KestrelonSetup::IsTimeOfDay $1
    Pop $0
    ${If} $0 != 1
      MessageBox MB_OK|MB_ICONEXCLAMATION "${TEXT_BAD_TIME}"
      Pop $1
      Pop $0
      Abort ; stays on the page
    ${EndIf}
    StrCpy $DailyTime $1
  ${Else}
    StrCpy $DailyTime "" ; unchecked: no task (an earlier one is removed)
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd
