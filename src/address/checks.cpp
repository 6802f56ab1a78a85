#include "address/checks.h"

#include "address/tables.h"
#include "platform/wide.h"

namespace mira {

WorkText::WorkText(const char16_t* source) {
    const size_t n = source != nullptr ? wide::wcsnlen(source, kWorkChars - 1) : 0;
    for (size_t i = 0; i < n; ++i) text[i] = source[i];
    text[n] = 0;
}

void CopyOut(char16_t* dest, size_t maxChars, const char16_t* composed) {
    if (dest != nullptr) wide::CopyText(dest, maxChars + 1, composed);
}

PlcAddress FreshHeader() {
    PlcAddress header{};
    header.fileNumber = -1;
    header.fileType = -1;
    header.fileLetter = -1;
    header.slot = -1;
    header.elementBase = -1;
    return header;
}

const char16_t* LettersOfType(int32_t fileType) {
    for (const FileLetter& row : FileLetterTable)
        if (row.fileType == fileType) return row.letters;
    return u"";
}

const char16_t* LettersFor(const PlcAddress& header, uint32_t letterSyntax) {
    return letterSyntax != 0 ? LettersOf(header.fileLetter) : LettersOfType(header.fileType);
}

}  // namespace mira
