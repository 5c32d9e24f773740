; Small checks of texts for the option and page checks (NSIS has no such functions itself).

!define DIGITS "0123456789"
!define LETTERS "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"

; Leaves on the stack how many characters of TEXT are among those of SET.
; Push TEXT, Push SET, Call CountIn, Pop COUNT
Function CountIn
  Exch $1 ; the set
  Exch
  Exch $0 ; the text, then the count
  Push $2 ; position in the text
  Push $3 ; the character there
  Push $4 ; position in the set
  Push $5 ; the set's character there
  Push $6 ; the count
  StrCpy $2 0
  StrCpy $6 0
  ${Do}
    StrCpy $3 $0 1 $2
    ${IfThen} $3 == "" ${|} ${ExitDo} ${|}
    StrCpy $4 0
    ${Do}
      StrCpy $5 $1 1 $4
      ${IfThen} $5 == "" ${|} ${ExitDo} ${|}
      ${If} $5 S== $3
        IntOp $6 $6 + 1
        ${ExitDo}
      ${EndIf}
      IntOp $4 $4 + 1
    ${Loop}
    IntOp $2 $2 + 1
  ${Loop}
  StrCpy $0 $6
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Exch $0 ; the count where the text was, $0 as it was
  Exch
  Pop $1
FunctionEnd

; RESULT = 1 when TEXT is made of characters of SET only (and is not empty), else 0.
; (Any register but $R8 and $R9, which these macros use themselves.)
!macro ConsistsOf RESULT TEXT SET
  Push $R9
  StrLen $R9 `${TEXT}`
  Push `${TEXT}`
  Push `${SET}`
  Call CountIn
  Pop ${RESULT}
  ${If} ${RESULT} = $R9
  ${AndIf} $R9 > 0
    StrCpy ${RESULT} 1
  ${Else}
    StrCpy ${RESULT} 0
  ${EndIf}
  Pop $R9
!macroend
!define ConsistsOf "!insertmacro ConsistsOf"

; RESULT = 1 for a decimal number of 1 to MAX_DIGITS digits, without sign or leading zero.
!macro IsPlainNumber RESULT TEXT MAX_DIGITS
  Push $R8
  Push $R9
  StrLen $R9 `${TEXT}`
  StrCpy $R8 `${TEXT}` 1
  ${ConsistsOf} ${RESULT} `${TEXT}` "${DIGITS}"
  ${If} $R9 > ${MAX_DIGITS}
  ${OrIf} $R8 == "0"
    StrCpy ${RESULT} 0
  ${EndIf}
  Pop $R9
  Pop $R8
!macroend
!define IsPlainNumber "!insertmacro IsPlainNumber"

; RESULT = 1 for a time of day written HH:MM, 00:00 to 23:59, else 0.
Function IsTimeOfDay
  Exch $0 ; the text, then the result
  Push $1 ; hours
  Push $2 ; minutes
  StrLen $1 $0
  StrCpy $2 $0 1 2
  ${If} $1 != 5
  ${OrIf} $2 != ":"
    StrCpy $0 0
  ${Else}
    StrCpy $1 $0 2
    StrCpy $2 $0 2 3
    ${ConsistsOf} $0 "$1$2" "${DIGITS}"
    ; Compared as decimal numbers: NSIS reads a leading 0 as octal.
    ${IfThen} $0 = 1 ${|} IntOp $1 1$1 - 100 ${|}
    ${IfThen} $0 = 1 ${|} IntOp $2 1$2 - 100 ${|}
    ${If} $0 = 1
    ${AndIf} $1 <= 23
    ${AndIf} $2 <= 59
      StrCpy $0 1
    ${Else}
      StrCpy $0 0
    ${EndIf}
  ${EndIf}
  Pop $2
  Pop $1
  Exch $0
FunctionEnd
!macro IsTimeOfDay RESULT TEXT
  Push `${TEXT}`
  Call IsTimeOfDay
  Pop ${RESULT}
!macroend
!define IsTimeOfDay "!insertmacro IsTimeOfDay"
