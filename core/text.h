// Bounded text building for the fixed fields: nothing written ever passes the end of its array;
// and the word cursor that every received line is read with, in place.
#pragma once

#include <cstddef>
#include <cstring>

// Zeroes the whole field, then copies what fits of src before the field's last byte; src must
// lie outside dest.
template <size_t N>
void copyCut(char (&dest)[N], const char *src)
{
    std::memset(dest, 0, N);
    std::memcpy(dest, src, strnlen(src, N - 1));
}

// Appends pieces to a zeroed buffer; a piece that does not fit is cut, and the text stays terminated.
class TextBuilder {
public:
    template <size_t N>
    explicit TextBuilder(char (&dest)[N]) : buf_(dest), size_(N)
    {
        std::memset(dest, 0, N);
    }
    size_t length() const { return len_; }
    size_t room() const { return size_ - 1 - len_; }  // characters still free before the terminator
    void add(const char *piece)
    {
        const size_t n = strnlen(piece, size_ - 1 - len_);
        std::memcpy(buf_ + len_, piece, n);
        len_ += n;
    }

private:
    char *buf_;
    size_t size_;
    size_t len_ = 0;
};

// Words are separated by runs of spaces only; tabs and every other byte belong to a word.
// Taking a word overwrites the separator that ends it, so the line is cut up in place. A list
// inside a word (PRIVMSG's targets) is taken apart the same way with its own separator.
struct LineCursor {
    char *pos;
    char *next(char separator = ' ');  // nullptr when the line is used up
    // The parameter after " :" as it stands, or else the next word; nullptr when there is none.
    char *trailing();
};

// Appends the rest of the line one word at a time, each after a single space.
void appendWords(TextBuilder &text, LineCursor &cur);
