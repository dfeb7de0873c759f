// The string table's texts in the form Qt's widgets take them.
#pragma once

#include <QString>

namespace zor {

// The text of a string-table entry; empty when the table has none.
QString tableText(unsigned id);

// A table entry that is an open-file filter, "(ZOR files (*.txt) | *.txt|All
// Files (*.*)|*.*||", as a file dialog takes it: the descriptions, which carry
// their patterns, separated by ";;".
QString tableFilter(unsigned id);

}  // namespace zor
