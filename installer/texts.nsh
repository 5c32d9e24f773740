; What the setup program and the uninstaller say (Romanian only), besides NSIS's own strings.
; "$\r$\n" is a line break.

!define TEXT_USAGE "Utilizare: ${SETUP_NAME} /S [/COM=COMn /PORT=viteză | /COM=AUTO] [/ORA=HH:MM] [/SETARI=folder] [/D=folder]"
!define TEXT_UNKNOWN_OPTION "Linia de comandă conține o opțiune necunoscută sau scrisă greșit.$\r$\n$\r$\n${TEXT_USAGE}"
!define TEXT_BAD_PORT "Portul din /COM trebuie să fie între COM1 și COM256 (de exemplu /COM=COM3).$\r$\n$\r$\n${TEXT_USAGE}"
!define TEXT_BAD_SPEED "Viteza din /PORT trebuie să fie un număr între 1 și 9999999 (de exemplu /PORT=115200).$\r$\n$\r$\n${TEXT_USAGE}"
!define TEXT_PORT_WITHOUT_SPEED "Opțiunile /COM și /PORT se folosesc numai împreună.$\r$\n$\r$\n${TEXT_USAGE}"
!define TEXT_SEARCH_WITH_SPEED "Cu /COM=AUTO, programul de instalare găsește singur portul și viteza aparatului fiscal: nu dați și /PORT.$\r$\n$\r$\n${TEXT_USAGE}"
!define TEXT_BAD_TIME "Ora trebuie să fie sub forma HH:MM, între 00:00 și 23:59 (de exemplu 22:00)."
!define TEXT_NO_TASK_ON_XP "Pe Windows XP, programul de instalare nu creează activitatea zilnică, deci nu acceptă opțiunea /ORA. Vedeți capitolul „Raportul Z zilnic pe Windows XP” din ghidul de utilizare."
; What a folder's path may be, for both folders.
!define TEXT_FOLDER_PATH_RULES "Calea are cel mult 240 de caractere și nu poate fi rădăcina unui disc (C:\), iar după începutul ei (litera discului, „:” și „\”) nu pot apărea caracterele * ? $\" < > | / :"
!define TEXT_SETTINGS_FOLDER_FORM "Scrieți calea completă a folderului de setări, cu litera discului, de exemplu C:\Kestrelon. ${TEXT_FOLDER_PATH_RULES}"
!define TEXT_SETTINGS_FOLDER_PLACE "Toți utilizatorii calculatorului vor putea scrie în folderul de setări. De aceea el nu poate fi în folderul programului, în Program Files sau în folderul Windows și nici nu poate conține folderul programului. Alegeți alt folder, de exemplu C:\Kestrelon."
!define TEXT_NOT_ADMINISTRATOR "Instalarea are nevoie de drepturi de administrator. Porniți programul de instalare dintr-un cont de administrator."
!define TEXT_RUNNING "Kestrelon sau KestrelonScan rulează acum, poate în sesiunea altui utilizator conectat (de exemplu pornit de activitatea zilnică, cu o casetă de mesaj rămasă deschisă pe ecranul lui). Așteptați să se termine sau închideți acea casetă, apoi încercați din nou. Nu s-a schimbat nimic."
!define TEXT_SETTINGS_NOT_WRITTEN "Nu s-a putut scrie în folderul de setări fișierul$\r$\n$PinnedFile$\r$\n$\r$\n$PinnedReason$\r$\n$\r$\nKestrelon.ini și Kestrelon.ini.bak au rămas cum erau. Programele nu au fost instalate. Înlăturați cauza, apoi porniți din nou programul de instalare."
!define TEXT_SETTINGS_READ_ONLY "Fișierul Kestrelon.ini din folderul de setări$\r$\n$SettingsFolder$\r$\neste doar în citire.$\r$\n$\r$\nNu s-a scris nimic și programele nu au fost instalate. Debifați „Doar în citire” (Read-only) în proprietățile fișierului sau nu salvați portul la instalare (pe pagina „Aparatul fiscal” alegeți ultima linie; fără ferestre, nu dați /COM), apoi porniți din nou programul de instalare."
!define TEXT_COMMAND_LINE_TOO_LONG "Linia de comandă este prea lungă: poate avea cel mult 1023 de caractere.$\r$\n$\r$\n${TEXT_USAGE}"
; The program folder's page says nothing of the command line; /D= has a text of its own.
!define TEXT_PROGRAM_FOLDER_FORM "Scrieți calea completă a folderului programului, cu litera discului, de exemplu C:\Program Files\Kestrelon, sau alegeți-l cu „Răsfoire...”. ${TEXT_FOLDER_PATH_RULES}"
!define TEXT_PROGRAM_FOLDER_OPTION_FORM "Scrieți după /D= calea completă a folderului programului, cu litera discului, de exemplu /D=C:\Program Files\Kestrelon, ultima pe linie și fără ghilimele. ${TEXT_FOLDER_PATH_RULES}$\r$\n$\r$\n${TEXT_USAGE}"
; A portable copy in the folder is refused by whichever check comes first (its owner, its
; rights or its files): each of those boxes points to the move, which keeps the copy meanwhile.
!define TEXT_PORTABLE_HERE "Dacă aici este varianta portabilă, nu ștergeți folderul: urmați în ghid „Trecerea la programul de instalare”, din capitolul „Varianta portabilă: arhiva zip”."
!define TEXT_FOLDER_IS_A_LINK "Folderul$\r$\n$FolderInQuestion$\r$\neste (sau se află într-un folder care este) o joncțiune, o legătură simbolică sau un punct de montare. Programul de instalare nu scrie printr-o astfel de legătură: alegeți un folder obișnuit."
!define TEXT_FOLDER_NOT_ADMINISTRATORS "Folderul$\r$\n$FolderInQuestion$\r$\nare alt proprietar decât administratorii, iar acesta i-ar putea schimba permisiunile. Ștergeți-l (programul de instalare îl creează din nou) sau alegeți alt folder. ${TEXT_PORTABLE_HERE}"
!define TEXT_FOLDER_OPEN_TO_USERS "Folderul$\r$\n$FolderInQuestion$\r$\nexistă deja, iar permisiunile lui le dădeau utilizatorilor obișnuiți mai mult decât le dă programul de instalare (de exemplu dreptul de a crea sau de a modifica fișiere). Cine l-a deschis cât timp avea acele permisiuni ar putea scrie în el și după instalare. Ștergeți-l (programul de instalare îl creează din nou, cu permisiunile lui) sau alegeți un folder nou. ${TEXT_PORTABLE_HERE}"
!define TEXT_FOLDER_NOT_OURS "În locul folderului$\r$\n$FolderInQuestion$\r$\nse află un fișier sau folderul conține și alte fișiere ori foldere decât cele ale lui Kestrelon. Programul de instalare schimbă permisiunile folderului pe care îl folosește, deci nu poate folosi un folder cu fișierele altcuiva. Alegeți un folder care nu există încă: programul de instalare îl creează. La o reinstalare, scoateți întâi din folder fișierele străine (în ghid, capitolul „Reinstalarea și dezinstalarea”). ${TEXT_PORTABLE_HERE}"
; Said after a folder's refusal only when the setup ends there; a wizard page that refuses a
; folder stays open, and nothing has been installed yet either way.
!define TEXT_NOTHING_INSTALLED "Nu s-a instalat nimic."
!define TEXT_FOLDER_NOT_WRITTEN "Folderul$\r$\n$FolderInQuestion$\r$\nnu a putut fi creat sau deschis. Asigurați-vă că discul există și are loc liber și că numele folderului este scris corect, apoi încercați din nou sau alegeți alt folder."
!define TEXT_RIGHTS_NOT_GIVEN_BACK "Permisiunile pe care le aveau folderul$\r$\n$FolderInQuestion$\r$\nși fișierele din el nu au putut fi puse la loc: acum doar administratorii le pot modifica. Porniți din nou programul de instalare sau refaceți permisiunile din fila „Securitate” a proprietăților folderului."
!define TEXT_RIGHTS_NOT_SET "Permisiunile folderului$\r$\n$FolderInQuestion$\r$\nnu au putut fi stabilite, deci utilizatorii nu ar putea scrie în el sau ar putea schimba mai mult decât trebuie. Programele nu au fost instalate."
!define TEXT_UNINSTALL_NOT_ADMINISTRATOR "Dezinstalarea are nevoie de drepturi de administrator. Porniți-o dintr-un cont de administrator. Nu s-a șters nimic."
!define TEXT_NOT_REMOVED "Acestea nu au putut fi șterse:$\r$\n$\r$\n$NotRemoved$\r$\nKestrelon rămâne în lista programelor instalate. Înlăturați cauza (de obicei un program care folosește fișierul: închideți-l sau reporniți calculatorul), apoi porniți din nou dezinstalarea."
!define TEXT_UNINSTALL_TASK_NOT_REMOVED "Activitatea zilnică „${TASK_NAME}” nu a putut fi ștearsă, deci dezinstalarea s-a oprit înainte să șteargă altceva: programele, comenzile rapide și Kestrelon din lista programelor instalate sunt la locul lor. Reporniți calculatorul, apoi porniți din nou dezinstalarea."
!define TEXT_TASK_FAILED "Activitatea zilnică „${TASK_NAME}” nu a putut fi creată. Programele sunt instalate; raportul Z nu se va tipări singur. Porniți din nou programul de instalare sau creați activitatea manual, după capitolul „Raportul Z zilnic” din ghidul de utilizare."
; Shown on the task's "General" tab. No character XML reserves: it is written into the XML as it is.
!define TEXT_TASK_DESCRIPTION "Tipărește în fiecare zi raportul Z cu Kestrelon, pe aparatul fiscal din Kestrelon.ini (în folderul de setări). Nu o porniți ca probă: fiecare pornire tipărește un raport Z. Ora se schimbă sau activitatea se oprește reinstalând Kestrelon."

; The wizard's own pages.
!define TEXT_SETTINGS_PAGE_TITLE "Folderul de setări"
!define TEXT_SETTINGS_PAGE_SUBTITLE "Unde se păstrează Kestrelon.ini, fișierul cu portul aparatului fiscal."
!define TEXT_SETTINGS_PAGE_TEXT "Kestrelon citește portul și viteza din Kestrelon.ini, în folderul în care pornește. Comenzile rapide și activitatea zilnică îl pornesc în folderul de mai jos, iar KestrelonScan scrie acolo portul găsit.$\r$\n$\r$\nUtilizatorii magazinului pot crea și modifica fișiere aici, dar nu pot șterge folderul. Alegeți un folder care nu există încă (programul de instalare îl creează) sau pe cel al unei instalări anterioare."
!define TEXT_SETTINGS_PAGE_BROWSE "Alegeți folderul de setări:"
!define TEXT_DEVICE_PAGE_TITLE "Aparatul fiscal"
!define TEXT_DEVICE_PAGE_SUBTITLE "Portul aparatului fiscal, găsit acum și salvat în Kestrelon.ini la instalare."
!define TEXT_DEVICE_PAGE_TEXT "Programul de instalare caută aparatul fiscal ca KestrelonScan, pe porturile de la COM1 la COM256: îi cere doar identificatorul, fără să tipărească nimic. Cât timp programul de vânzare este deschis, el ține ocupat portul aparatului: închideți-l înainte să apăsați „Caută din nou”."
!define TEXT_SEARCH_AGAIN "Caută din nou"
!define TEXT_DEVICE_SEARCHING "Se caută aparatul fiscal pe porturile de la COM1 la COM256: acum pe COM$PortInTrial..."
!define TEXT_DEVICES_FOUND "Aparatele care au răspuns. Portul și viteza celui ales se salvează în Kestrelon.ini la instalare. Este ales automat aparatul pe care l-ar folosi Kestrelon.exe: cel salvat deja, dacă a răspuns, altfel primul al cărui identificator începe cu „VF”."
!define TEXT_NO_DEVICE_FOUND "Nu s-a găsit niciun aparat. Asigurați-vă că aparatul fiscal este pornit, în modul de lucru și legat la calculator și că programul de vânzare este închis, apoi apăsați „Caută din nou”. Puteți merge și mai departe fără port: îl salvați mai târziu cu KestrelonScan."
!define TEXT_DEVICE_ANOTHER_COPY "Kestrelon sau KestrelonScan rulează acum și folosește porturile, deci nu s-a căutat nimic. Așteptați să se termine, apoi apăsați „Caută din nou”."
!define TEXT_DEVICE_NOT_SEARCHED "Căutarea nu a putut porni. Apăsați „Caută din nou” sau mergeți mai departe fără port: îl salvați mai târziu cu KestrelonScan."
!define TEXT_DO_NOT_SAVE "Nu salva niciun port"
!define TEXT_KEEP_PINNED "Nu salva alt port: Kestrelon.ini rămâne cu $PinnedNow"
!define TEXT_NOT_VF_QUESTION "Identificatorul aparatului ales nu începe cu „VF”, deci Kestrelon.exe nu i-ar cere raportul Z. Răspundeți Nu, asigurați-vă că aparatul fiscal este pornit și legat la calculator, apoi apăsați „Caută din nou”.$\r$\n$\r$\nDoriți să salvați totuși portul și viteza acestui aparat?"
!define TEXT_DAILY_PAGE_TITLE "Raportul Z zilnic"
!define TEXT_DAILY_PAGE_SUBTITLE "Kestrelon poate tipări singur raportul Z, în fiecare zi la aceeași oră."
!define TEXT_DAILY_CHECKBOX "Tipărește raportul Z în fiecare zi, la ora:"
!define TEXT_DAILY_PAGE_TEXT "La ora aleasă, activitatea „${TASK_NAME}” pornește Kestrelon în sesiunea utilizatorului conectat atunci. Dacă Windows permite, trezește calculatorul din repaus. Dacă nimeni nu este conectat sau calculatorul este oprit, nu se tipărește nimic. Raportul se tipărește în fiecare zi în care calculatorul este pornit, și în zilele în care magazinul este închis (un raport Z fără vânzări). Alegeți o oră la care magazinul este închis în fiecare zi, înainte de miezul nopții, ca raportul Z să poarte data zilei de vânzări.$\r$\n$\r$\nDacă raportul nu s-a putut tipări, dimineața pe ecran este o casetă „Eroare” sau nu este nimic: înainte de prima vânzare, urmați capitolul „Dimineața, când raportul de aseară lipsește” din ghid. Dacă alegeți raportul zilnic, nu mai porniți „Raport Z” manual: fiecare pornire tipărește un raport Z."
!define TEXT_DAILY_PAGE_XP "Pe Windows XP, programul de instalare nu poate crea această activitate astfel încât Kestrelon să pornească în folderul de setări. Dacă doriți raportul Z zilnic, urmați capitolul „Raportul Z zilnic pe Windows XP” din ghidul de utilizare."
!define TEXT_WELCOME "Acest program instalează Kestrelon, care tipărește raportul Z pe aparatul fiscal, și KestrelonScan, care găsește portul aparatului.$\r$\n$\r$\nDupă instalare nu porniți „Raport Z” ca probă: fiecare pornire tipărește un raport Z, care închide ziua fiscală. Pentru probă folosiți KestrelonScan, care nu tipărește nimic.$\r$\n$\r$\n$_CLICK"
!define TEXT_FINISH "Kestrelon a fost instalat.$\r$\n$\r$\nÎnchideți întâi programul de vânzare: cât timp este deschis, el ține ocupat portul aparatului fiscal. Apoi, pentru probă, porniți KestrelonScan din meniul Start > Kestrelon, din contul utilizatorului magazinului: găsește aparatul fiscal și îi salvează portul, fără să tipărească nimic. Nu porniți „Raport Z” ca probă: fiecare pornire tipărește un raport Z."
; The uninstaller NSIS writes carries the setup's version resource: the description is true of both
; (Windows shows it in the administrator's box, in the file's properties and in Task Manager, where
; a technician looks for "Kestrelon").
!define TEXT_SETUP_DESCRIPTION "Kestrelon - instalarea și dezinstalarea programelor"

; Folders on the way, files of an earlier install, and the steps after the folders.
!define TEXT_FOLDER_ON_THE_WAY "Utilizatorii obișnuiți pot redenumi sau șterge folderul$\r$\n$FolderInQuestion$\r$\nori îi pot schimba permisiunile, deci l-ar putea înlocui cu un folder al lor. Programul de instalare nu pune programele sau setările într-un astfel de folder. Alegeți altă cale (de exemplu direct pe discul C:) sau schimbați-i permisiunile, astfel încât doar administratorii să-l poată modifica."
!define TEXT_SETTINGS_OLD_KEPT_ASIDE "Portul și viteza au fost scrise în Kestrelon.ini, dar setările de dinainte nu au putut fi păstrate ca Kestrelon.ini.bak.$\r$\n$\r$\n$PinnedReason$\r$\n$\r$\nSetările de dinainte au rămas în fișierul$\r$\n$PinnedFile$\r$\n$\r$\nProgramele nu au fost instalate."
!define TEXT_OLD_FILE_NOT_REMOVED "Fișierul$\r$\n$NotWritten$\r$\nrămas de la instalarea de dinainte nu a putut fi șters: probabil îl folosește un program. Instalarea s-a oprit aici. Închideți programul care îl folosește (sau reporniți calculatorul), apoi porniți din nou instalarea."
!define TEXT_NOT_COMPLETED "Instalarea nu s-a încheiat: $NotWritten$\r$\n$\r$\nÎnlăturați cauza (de exemplu un disc plin sau un antivirus care blochează scrierea), apoi porniți din nou programul de instalare."
; What $NotWritten says in TEXT_NOT_COMPLETED, each with its own verb.
!define TEXT_UNINSTALLER_NOT_WRITTEN "nu s-a putut scrie fișierul$\r$\n$INSTDIR\${UNINSTALLER}"
!define TEXT_SHORTCUTS_NOT_WRITTEN "nu s-au putut scrie comenzile rapide de pe desktop și din meniul Start."
!define TEXT_UNINSTALL_ENTRY "intrarea lui Kestrelon din lista programelor instalate (registrul Windows)"
!define TEXT_UNINSTALL_ENTRY_NOT_WRITTEN "nu s-a putut scrie ${TEXT_UNINSTALL_ENTRY}."
!define TEXT_THE_TASK "activitatea planificată „${TASK_NAME}”"
!define TEXT_TASK_NOT_REMOVED "Activitatea zilnică „${TASK_NAME}” nu a putut fi ștearsă, deci raportul Z se va tipări în continuare la ora ei. Reporniți calculatorul, apoi porniți din nou programul de instalare și debifați din nou raportul zilnic."
!define TEXT_NOT_THE_INSTALLED_UNINSTALLER "Acesta nu este programul de dezinstalare al lui Kestrelon de pe acest calculator: folderul$\r$\n$INSTDIR$\r$\nnu este cel din lista programelor instalate. Nu s-a șters nimic. Dezinstalați Kestrelon din meniul Start > Kestrelon > Dezinstalare sau din lista programelor instalate."
!define TEXT_ENTRY_NOT_REMOVED "Kestrelon a fost dezinstalat, dar intrarea lui din lista programelor instalate nu a putut fi ștearsă. Ca s-o ștergeți, instalați din nou Kestrelon, apoi dezinstalați-l."
