// Message box styles and answers, as the Windows message boxes number them: the dialog
// library shows them, and the design code names them in its questions.
#pragma once

enum DiaStyle : unsigned {
    MB_OK = 0,
    MB_OKCANCEL = 1,
    MB_YESNO = 4,
    MB_ICONSTOP = 16,
    MB_ICONQUESTION = 32,
    MB_ICONEXCLAMATION = 48,
    MB_ICONINFORMATION = 64,
    MB_DEFBUTTON2 = 256,
};
enum DiaAnswer : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };
