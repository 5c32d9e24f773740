; Small checks of texts for the option and page checks, over WordFunc's StrFilter.

!define DIGITS "1" ; StrFilter's classes of characters: the ASCII digits,
!define LETTERS "2" ; and the ASCII letters

; RESULT = 1 when TEXT is not empty and made of characters of CLASS only, else 0.
; (Any register but $R8 and $R9, which these macros use themselves.)
!macro ConsistsOf RESULT TEXT CLASS
  Push $R9
  ${StrFilterS} `${TEXT}` "${CLASS}" "" "" $R9
  ${If} $R9 S== `${TEXT}`
  ${AndIf} $R9 != ""
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
