#include "zor/gui/table_text.h"

#include <zor/strings.h>

#include <QStringList>

namespace zor {

QString tableText(unsigned id) {
  const char* text = zorString(id);
  return text != nullptr ? QString::fromLatin1(text) : QString();
}

QString tableFilter(unsigned id) {
  const QStringList parts = tableText(id).split('|');
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString name = parts[i].trimmed();
    // The stored text opens with a stray parenthesis.
    if (name.startsWith('(') && name.count('(') > name.count(')')) name.remove(0, 1);
    if (!name.isEmpty()) filters << name;
  }
  return filters.join(";;");
}

}  // namespace zor
