// Every text dormex-host shows, in the user's language. The texts themselves
// are in messages.inc, English and Russian side by side.
#pragma once

#include <cstdint>
#include <string>

enum Language { LANGUAGE_ENGLISH, LANGUAGE_RUSSIAN };

enum MessageId {
#define MESSAGE(id, english, russian) id,
#include "messages.inc"
#undef MESSAGE
    MESSAGE_COUNT
};

// Russian when Windows' user interface language is Russian, else English.
Language userInterfaceLanguage();
void useLanguage(Language language);
// "ru" or "en"; false for anything else.
bool languageNamed(const std::string& name, Language* language);

// The message whose id is spelled `name` ("KIT_ALL_PASSED"); false for none.
bool messageNamed(const std::string& name, MessageId* id);
// The message in the language in use, UTF-8.
const char* text(MessageId id);
// The message with its printf placeholders filled in.
std::string say(MessageId id, ...);
// "1 byte", "5 bytes"; in Russian with the plural form the number takes.
std::string byteCount(uint32_t count);
// What a Windows error code means, in words.
std::string windowsErrorWords(unsigned long error);
