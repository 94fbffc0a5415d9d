#pragma once

// The PostScript document of one QC lot report.

#include <string>
#include <vector>

#include "qc/UQCLog.h"

// A document being written: lines gather in Buffer and reach the file in
// large appends. After the first write failure, Error holds its text and
// further lines are dropped.
struct TPSDocument {
  std::string FilePath;
  std::string KLot;
  int PageCount = 1;
  std::string Buffer;
  std::string Error;
};

// Writes Lines[0 .. LineCount-1] as an A4 document of 83 rows per page with a
// summary footer, its fonts re-encoded to ISO Latin-1 in the prolog; true
// when it was written whole. A write failure is logged ("Erreur génération
// PS : ...") and gives false; failing to create the file or its folder
// throws std::runtime_error.
bool GeneratePSReport(const std::vector<TQCLine>& Lines, int LineCount, const std::string& KLot,
                      const std::string& PSFile);
// Escapes a text for a PostScript string: "(", ")" and "\" get a backslash;
// characters outside 32-126 become "\" and their UTF-16 code in octal (at
// least three digits).
std::string PSStr(const std::string& S);
// Fits a text to a column `ColW` points wide: at most (ColW - 2) div 3
// characters, the last one "~" when the text was cut.
std::string TruncCol(const std::string& S, int ColW);
// Appends one line (CR LF ended) to the document.
void WriteLine(TPSDocument& Doc, const std::string& Line);
// Writes the start of page `PageNo`: title band, column header.
void NewPage(TPSDocument& Doc, int PageNo);
