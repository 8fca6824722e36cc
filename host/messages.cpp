#include "messages.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace {

// The part of a printf placeholder that says what it takes: "%s", "%u", "%%".
constexpr const char* placeholderEnd(const char* at) {
    ++at;
    while (*at != '\0' && (*at < 'a' || *at > 'z') && *at != '%') ++at;
    return *at == '\0' ? at : at + 1;
}

constexpr const char* nextPlaceholder(const char* at) {
    while (*at != '\0' && *at != '%') ++at;
    return at;
}

// True when both texts take the same placeholders in the same order.
constexpr bool samePlaceholders(const char* english, const char* russian) {
    for (;;) {
        english = nextPlaceholder(english);
        russian = nextPlaceholder(russian);
        if (*english == '\0' || *russian == '\0') return *english == *russian;
        const char* englishEnd = placeholderEnd(english);
        const char* russianEnd = placeholderEnd(russian);
        while (english != englishEnd && russian != russianEnd) {
            if (*english++ != *russian++) return false;
        }
        if (english != englishEnd || russian != russianEnd) return false;
    }
}

#define MESSAGE(id, english, russian) \
    static_assert(samePlaceholders(english, russian), #id ": the Russian text takes other placeholders");
#include "messages.inc"
#undef MESSAGE

const char* const ENGLISH[MESSAGE_COUNT] = {
#define MESSAGE(id, english, russian) english,
#include "messages.inc"
#undef MESSAGE
};

const char* const RUSSIAN[MESSAGE_COUNT] = {
#define MESSAGE(id, english, russian) russian,
#include "messages.inc"
#undef MESSAGE
};

const char* const NAMES[MESSAGE_COUNT] = {
#define MESSAGE(id, english, russian) #id,
#include "messages.inc"
#undef MESSAGE
};

Language language = LANGUAGE_ENGLISH;

// Russian: 1, 21, 31 ... one; 2-4, 22-24 ... few; the rest many. English: 1 one, the rest many.
MessageId bytesForm(uint32_t count) {
    if (language == LANGUAGE_ENGLISH) return count == 1 ? BYTES_ONE : BYTES_MANY;
    const uint32_t lastTwo = count % 100;
    const uint32_t last = count % 10;
    if (last == 1 && lastTwo != 11) return BYTES_ONE;
    if (last >= 2 && last <= 4 && (lastTwo < 12 || lastTwo > 14)) return BYTES_FEW;
    return BYTES_MANY;
}

}  // namespace

Language userInterfaceLanguage() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_RUSSIAN ? LANGUAGE_RUSSIAN : LANGUAGE_ENGLISH;
}

void useLanguage(Language chosen) { language = chosen; }

bool languageNamed(const std::string& name, Language* chosen) {
    if (name != "ru" && name != "en") return false;
    *chosen = name == "ru" ? LANGUAGE_RUSSIAN : LANGUAGE_ENGLISH;
    return true;
}

bool messageNamed(const std::string& name, MessageId* id) {
    for (int i = 0; i < MESSAGE_COUNT; ++i) {
        if (name != NAMES[i]) continue;
        *id = static_cast<MessageId>(i);
        return true;
    }
    return false;
}

const char* text(MessageId id) { return (language == LANGUAGE_RUSSIAN ? RUSSIAN : ENGLISH)[id]; }

std::string say(MessageId id, ...) {
    char line[512];
    va_list arguments;
    va_start(arguments, id);
    const int size = vsnprintf(line, sizeof line, text(id), arguments);
    va_end(arguments);
    if (size < 0) return std::string();
    if (static_cast<size_t>(size) < sizeof line) return std::string(line, static_cast<size_t>(size));
    // Only the help texts and long paths need more than a line's buffer.
    std::string whole(static_cast<size_t>(size), '\0');
    va_start(arguments, id);
    vsnprintf(&whole[0], whole.size() + 1, text(id), arguments);
    va_end(arguments);
    return whole;
}

std::string byteCount(uint32_t count) { return say(bytesForm(count), count); }

std::string windowsErrorWords(unsigned long error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return text(WINERR_NO_FILE);
        case ERROR_PATH_NOT_FOUND:
            return text(WINERR_NO_FOLDER);
        case ERROR_ACCESS_DENIED:
            return text(WINERR_ACCESS_DENIED);
        case ERROR_SHARING_VIOLATION:
            return text(WINERR_IN_USE);
        case ERROR_LOCK_VIOLATION:
            return text(WINERR_LOCKED);
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_DIRECTORY:
            return text(WINERR_BAD_NAME);
        case ERROR_FILENAME_EXCED_RANGE:
            return text(WINERR_TOO_LONG);
        case ERROR_INVALID_DRIVE:
            return text(WINERR_NO_DRIVE);
        case ERROR_NOT_READY:
            return text(WINERR_NOT_READY);
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return text(WINERR_NO_NETWORK_PATH);
        case ERROR_MOD_NOT_FOUND:
            return text(WINERR_NO_LIBRARY);
        case ERROR_BAD_EXE_FORMAT:
            return text(WINERR_NOT_A_DLL);
        default:
            return say(WINERR_OTHER, static_cast<unsigned>(error));
    }
}
