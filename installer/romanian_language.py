#!/usr/bin/python3
"""Writes NSIS's Romanian language files as this setup shows them, or checks written ones.

NSIS ships Romanian.nlf and Romanian.nsh (UTF-8 with a signature) with the cedilla letters
ş ţ Ş Ţ, which are Turkish letters, not Romanian, and they call a folder "director" (the
program folder's page), where Windows and the setup's own pages say "folder". Some of their
strings are wrong or clumsy besides (English button names, "Sunteţi sigur(ă)", an abort
header that blames the user, verbs on some buttons and nouns on others): the strings this
setup and its uninstaller show are written anew here, with Windows' own button names (nouns,
as "Terminare", "Anulare", "Reîncercare"). The setup program loads the copies written here (in
the build folder; never kept in the repository).

Usage: romanian_language.py SOURCE_FOLDER TARGET_FOLDER
       romanian_language.py --check TARGET_FOLDER
"""
import os
import re
import sys

NLF, NSH = 'Romanian.nlf', 'Romanian.nsh'
COMMA_BELOW = str.maketrans('\u015f\u0163\u015e\u0162', '\u0219\u021b\u0218\u021a')
SIGNATURE = '\ufeff'
# "director" and "folder" are both neuter: every form of the one is the same form of the other.
DIRECTOR = re.compile(r'\b([Dd])irector(ul)?\b')

# The strings of Romanian.nlf that the wizard, its detail list and its boxes show ("\r\n" and
# "\t" are the file's own escapes).
NLF_STRINGS = {
    '^DirSubCaption': ': Folderul programului',
    '^ConfirmSubCaption': ': Confirmare',
    '^UnCompletedSubCaption': ': Dezinstalare terminată',
    '^InstallBtn': '&Instalare',
    '^UninstallBtn': '&Dezinstalare',
    '^CancelBtn': 'Anulare',
    '^CloseBtn': 'În&chidere',
    '^BrowseBtn': '&Răsfoire...',
    '^ShowDetailsBtn': 'Afișare &detalii',
    '^ClickNext': 'Apăsați Înainte pentru a continua.',
    '^ClickInstall': 'Apăsați Instalare pentru a începe instalarea.',
    '^ClickUninstall': 'Apăsați Dezinstalare pentru a începe dezinstalarea.',
    '^DirText': '$(^NameDA) se va instala în folderul de mai jos. Pentru alt folder, apăsați '
                'Răsfoire și alegeți-l. $_CLICK',
    '^DirSubText': 'Folderul programului',
    '^DirBrowseText': 'Alegeți folderul în care se instalează $(^NameDA):',
    '^UnDirText': '$(^NameDA) se va dezinstala din folderul de mai jos. Pentru alt folder, '
                  'apăsați Răsfoire și alegeți-l. $_CLICK',
    '^UninstallingText': '$(^NameDA) va fi dezinstalat de pe acest calculator. Folderul de '
                         'setări, cu portul salvat în Kestrelon.ini, rămâne pe disc pentru o '
                         'instalare ulterioară. $_CLICK',
    # Abort, Retry and Ignore, or Retry and Cancel: buttons Windows draws in its own language,
    # so the text names none of them.
    '^FileError': 'Fișierul de mai jos nu a putut fi scris:\\r\\n\\t"$0"\\r\\nÎnchideți '
                  'programul care îl folosește, apoi încercați din nou, sau opriți instalarea.',
    '^FileError_NoIgnore': 'Fișierul de mai jos nu a putut fi scris:\\r\\n\\t"$0"\\r\\nÎnchideți '
                           'programul care îl folosește, apoi încercați din nou, sau opriți '
                           'instalarea.',
    '^CantWrite': '"Nu s-a putut scrie: "',
    '^CopyFailed': 'Copierea nu a reușit',
    '^CouldNotLoad': '"Nu s-a putut încărca: "',
    '^CreatedUninstaller': '"S-a creat programul de dezinstalare: "',
    '^ErrorDecompressing': 'Eroare la dezarhivarea datelor: programul de instalare este '
                           'deteriorat. Descărcați-l din nou.',
    '^ErrorRegistering': 'Eroare la înregistrarea DLL-ului',
    '^Exec': '"Pornire: "',
    '^ErrorWriting': '"Extragere: eroare la scrierea fișierului "',
    '^InvalidOpcode': 'Program de instalare deteriorat: cod de operație nevalid',
    '^OutputFolder': '"Folder de lucru: "',
    '^RemoveFolder': '"Ștergere folder: "',
    '^RenameOnReboot': '"Redenumire la repornirea calculatorului: "',
    '^Skipped': '"Omis: "',
}

# The strings of Romanian.nsh (Modern UI's pages) that this setup shows. A program's name
# after a noun is in the genitive: "instalarea programului Kestrelon".
NSH_STRINGS = {
    'MUI_TEXT_WELCOME_INFO_TITLE': 'Bine ați venit la instalarea programului $(^NameDA)',
    'MUI_UNTEXT_WELCOME_INFO_TITLE': 'Bine ați venit la dezinstalarea programului $(^NameDA)',
    'MUI_TEXT_WELCOME_INFO_TEXT': 'Acest program instalează $(^NameDA).$\\r$\\n$\\r$\\n$_CLICK',
    'MUI_TEXT_DIRECTORY_TITLE': 'Folderul programului',
    'MUI_TEXT_DIRECTORY_SUBTITLE': 'Alegeți folderul în care se instalează $(^NameDA).',
    'MUI_TEXT_INSTALLING_SUBTITLE': 'Așteptați cât timp se instalează $(^NameDA).',
    'MUI_TEXT_FINISH_SUBTITLE': '$(^NameDA) a fost instalat.',
    'MUI_TEXT_ABORT_TITLE': 'Instalare întreruptă',
    'MUI_TEXT_ABORT_SUBTITLE': 'Instalarea nu s-a terminat.',
    'MUI_UNTEXT_UNINSTALLING_SUBTITLE': 'Așteptați cât timp se dezinstalează $(^NameDA).',
    # The uninstaller has no finish page: the technician reads this, and the settings folder
    # left on the disk is no oversight.
    'MUI_UNTEXT_FINISH_SUBTITLE': '$(^NameDA) a fost dezinstalat. Folderul de setări a rămas pe '
                                  'disc.',
    # The uninstaller stops there only when something could not be removed (nobody cancels
    # it): a file, the daily task or the Add/Remove entry; its box says which.
    'MUI_UNTEXT_ABORT_TITLE': 'Dezinstalare neterminată',
    'MUI_UNTEXT_ABORT_SUBTITLE': '$(^NameDA) rămâne în lista programelor instalate.',
    'MUI_TEXT_FINISH_INFO_TITLE': 'Instalarea s-a terminat',
    'MUI_TEXT_FINISH_INFO_TEXT': '$(^NameDA) a fost instalat.$\\r$\\n$\\r$\\nApăsați Terminare '
                                 'pentru a închide programul de instalare.',
    'MUI_TEXT_FINISH_RUN': 'Pornire $(^NameDA)',
    'MUI_UNTEXT_CONFIRM_SUBTITLE': 'Ștergerea programului $(^NameDA) de pe acest calculator.',
    'MUI_TEXT_ABORTWARNING': 'Sigur doriți să anulați instalarea programului $(^Name)?',
    'MUI_UNTEXT_ABORTWARNING': 'Sigur doriți să anulați dezinstalarea programului $(^Name)?',
}

# What no string of the written files may say: English button names, or a button of a box that
# Windows draws in its own language named in Romanian, the cedilla letters, NSIS's own
# wording that was wrong or clumsy, a program's name after a noun without its genitive
# ("instalarea $(^Name)"), and "files" for what may have been the task or the entry.
FORBIDDEN = ('Retry', 'Abort', 'Ignore', '\u015f', '\u0163', '\u015e', '\u0162', 'irector',
             'Apăsați Abandonare', 'apăsați Anulare',
             'Aplicatia', 'Dv.', 'sigur(ă)', 'apăsați Alege', 'Ștergere destinație',
             'anulată de utilizator', 'Dezinstalarea fost', 'Nu am putut',
             'din acest calculator', 'rea $(^Name', 'Unele fișiere nu au putut fi șterse')
# Buttons are named as Windows names its own (nouns), never with a verb beside "Terminare".
BUTTON_VERBS = ('Instalează', 'Dezinstalează', 'Renunță', 'Închide', 'Alege', 'Arată')
BUTTONS = ('^BackBtn', '^NextBtn', '^InstallBtn', '^UninstallBtn', '^CancelBtn', '^CloseBtn',
           '^BrowseBtn', '^ShowDetailsBtn', 'MUI_BUTTONTEXT_FINISH')

NSH_STRING = re.compile(r'^(\s*\$\{LangFileString\} (\w+) )"(.*)"(\s*)$')


def nlf_strings(lines):
    """{name: index of its line}: in an .nlf file each string follows the comment "# ^Name"."""
    found = {}
    for index, line in enumerate(lines[:-1]):
        match = re.match(r'# (\^\w+)\s*$', line)
        if match:
            found[match.group(1)] = index + 1
    return found


def nsh_strings(lines):
    found = {}
    for index, line in enumerate(lines):
        match = NSH_STRING.match(line)
        if match:
            found[match.group(2)] = index
    return found


def rewrite(lines, strings, replacements, set_value):
    missing = sorted(set(replacements) - set(strings))
    if missing:
        sys.exit('romanian_language: NSIS no longer has the strings ' + ', '.join(missing))
    for name, value in replacements.items():
        lines[strings[name]] = set_value(lines[strings[name]], value)


def nlf_value(line, value):
    return value + line[len(line.rstrip('\r\n')):]


def nsh_value(line, value):
    match = NSH_STRING.match(line)
    return match.group(1) + '"' + value + '"' + match.group(4)


def values(folder):
    """{name: text} of every string of both written files."""
    found = {}
    for name, locate, value_of in ((NLF, nlf_strings, lambda line: line),
                                   (NSH, nsh_strings, lambda line: NSH_STRING.match(line)[3])):
        with open(os.path.join(folder, name), encoding='utf-8', newline='') as written:
            lines = written.read().splitlines()
        found.update({key: value_of(lines[index]) for key, index in locate(lines).items()})
    return found


def faults(folder):
    found = []
    strings = values(folder)
    for name, text in sorted(strings.items()):
        found += ['%s: "%s" says %s' % (name, text, word) for word in FORBIDDEN if word in text]
    for name in BUTTONS:
        label = strings.get(name, '').replace('&', '')
        found += ['%s: the button "%s" is a verb' % (name, label)
                  for verb in BUTTON_VERBS if label.startswith(verb + ' ') or label == verb]
    return found


def write(source, target):
    os.makedirs(target, exist_ok=True)
    for name, locate, replacements, set_value in ((NLF, nlf_strings, NLF_STRINGS, nlf_value),
                                                   (NSH, nsh_strings, NSH_STRINGS, nsh_value)):
        with open(os.path.join(source, name), encoding='utf-8', newline='') as original:
            text = original.read()
        if not text.startswith(SIGNATURE):
            sys.exit('romanian_language: %s has no UTF-8 signature: NSIS would read it in the '
                     'code page it names' % name)
        lines = text.splitlines(keepends=True)
        rewrite(lines, locate(lines), replacements, set_value)
        converted = DIRECTOR.sub(folder_for_director, ''.join(lines).translate(COMMA_BELOW))
        temporary = os.path.join(target, name + '.part')
        with open(temporary, 'w', encoding='utf-8', newline='') as copy:
            copy.write(converted)
        os.replace(temporary, os.path.join(target, name))


def folder_for_director(match):
    return ('F' if match.group(1) == 'D' else 'f') + 'older' + (match.group(2) or '')


def main():
    if len(sys.argv) == 3 and sys.argv[1] == '--check':
        found = faults(sys.argv[2])
        if found:
            sys.exit('romanian_language: the language files in %s are wrong:\n  %s' %
                     (sys.argv[2], '\n  '.join(found)))
        return
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-2].strip())
    write(*sys.argv[1:])


if __name__ == '__main__':
    main()
