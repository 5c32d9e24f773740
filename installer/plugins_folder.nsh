; Where the setup and the uninstaller unpack their plug-ins ($PLUGINSDIR: KestrelonSetup.dll,
; UserInfo, nsExec, nsDialogs, System) and load them from. NSIS makes that folder under $TEMP at
; the first plug-in call and loads a file already there under a plug-in's name as it is. Run as
; SYSTEM (a fleet's tool), $TEMP is C:\Windows\Temp, where every user may create files in any
; folder made there: a DLL put there first would run as SYSTEM. So, before any plug-in is called,
; the folder is made new in Program Files instead, which only administrators can write in and
; whose new folders give users no more than read and run; NSIS removes it, as its own, when the
; program ends. Only NSIS's own instructions are used here: no plug-in may run before it.

; Makes $PLUGINSDIR; refuses (EXIT_NOT_ADMINISTRATOR) when it cannot be made, which only an
; administrator can.
!macro PluginsFolderOnlyAdministratorsWrite REFUSAL
  ClearErrors
  GetTempFileName $0 "$PROGRAMFILES" ; a new name there, made as an empty file
  Delete $0
  CreateDirectory $0
  ${If} ${Errors}
  ${OrIf} $0 == ""
    ; No plug-in can read the line yet: /S in any case, before /D=, is looked for here, so that
    ; no box waits in a fleet's script.
    ${GetOptions} $CMDLINE "/S" $0
    ${IfNot} ${Errors}
      SetSilent silent
    ${EndIf}
    !insertmacro Refuse ${EXIT_NOT_ADMINISTRATOR} "${REFUSAL}"
  ${EndIf}
  UnsafeStrCpy $PLUGINSDIR $0
!macroend
