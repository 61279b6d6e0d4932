// The word cursor, which cuts a line up where it lies, and the text built from its words.
#include "text.h"

char *LineCursor::next(char separator)
{
    while (*pos == separator) ++pos;
    if (*pos == '\0') return nullptr;
    char *word = pos;
    while (*pos != separator && *pos != '\0') ++pos;
    if (*pos == separator) *pos++ = '\0';
    return word;
}

char *LineCursor::trailing()
{
    while (*pos == ' ') ++pos;
    if (*pos == ':') return pos + 1;
    return next();
}

void appendWords(TextBuilder &text, LineCursor &cur)
{
    while (const char *word = cur.next()) {
        if (text.length() > 0) text.add(" ");
        text.add(word);
    }
}
