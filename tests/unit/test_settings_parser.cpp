// The settings text as the reader sees it, straight from strings: the number
// syntax and the line rules, including what a failed load leaves behind.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "settings/settings.h"

namespace {

TEST(SettingsNumber, Syntax) {
    const struct {
        std::string text;
        bool ok;
        int32_t value;
    } cases[] = {
        {"17", true, 17},
        {"+17", true, 17},
        {"017", true, 17},
        {"0017", true, 17},
        {"$11", true, 17},
        {"0x11", true, 17},
        {"0X11", true, 17},
        {"x11", true, 17},
        {"X11", true, 17},
        {"$aF", true, 175},
        {"  17", true, 17},
        {"  -$11", true, -17},
        {"-0x11", true, -17},
        {"0", true, 0},
        {"-0", true, 0},
        {"0x0", true, 0},
        {"2147483647", true, INT_MAX},
        {"-2147483648", true, INT_MIN},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"4294967313", false, 0},  // 2^32 + 17: must not wrap to 17
        {"99999999999999999999999", false, 0},
        {"$FFFFFFFF", true, -1},
        {"-$FFFFFFFF", true, 1},
        {"$80000000", true, INT_MIN},
        {"$0000000FF", true, 255},  // leading zeros are not significant
        {"0x00000000000000000011", true, 17},
        {"$123456789", false, 0},  // nine significant digits
        {"$100000011", false, 0},  // nine digits that would wrap to 17
        {"", false, 0},
        {" ", false, 0},
        {"-", false, 0},
        {"+", false, 0},
        {"$", false, 0},
        {"0x", false, 0},
        {"x", false, 0},
        {"-x", false, 0},
        {"- 17", false, 0},
        {"+-1", false, 0},
        {"--1", false, 0},
        {"17 ", false, 0},
        {"17\t", false, 0},
        {"1 7", false, 0},
        {"\t17", false, 0},
        {"17a", false, 0},
        {"0x1g", false, 0},
        {"00x1", false, 0},
        {"0xx1", false, 0},
        {"$-1", false, 0},
        {"1e3", false, 0},
        {std::string("17\0", 3), false, 0},
    };
    for (const auto& c : cases) {
        int32_t value = 12345;
        const bool ok = parseSettingsNumber(c.text.data(), c.text.size(), &value);
        EXPECT_EQ(ok, c.ok) << "\"" << c.text << "\"";
        if (ok && c.ok) {
            EXPECT_EQ(value, c.value) << "\"" << c.text << "\"";
        }
    }
}

constexpr int KEPT = -1;  // the time holds what it held before the load

struct Row {
    const char* name;
    std::string text;
    bool ok;
    int hours[4];         // disconnect hour, minute, online hour, minute
    const char* flags;    // disconnect, online, trigger: '1', '0' or 'B' (as before the load)
    std::string trigger;  // "old" is the text from before the load
};

std::vector<Row> rows() {
    const std::string longBlanks(100000, ' ');
    const std::string longText(100000, 'x');
    // clang-format off
    return {
        {"default file", DEFAULT_SETTINGS_FILE, true, {17, 15, 7, 30}, "111", "/disconnect"},
        {"LF line ends",
         "h_disconnect=17\nm_disconnect=15\nh_online=7\nm_online=30\nDisconnectStr=/disconnect\n",
         true, {17, 15, 7, 30}, "111", "/disconnect"},
        {"keys ignored", "p=8\nq=5\nr=9\ns=0\nt=bye", true, {8, 5, 9, 0}, "111", "bye"},
        {"out of range replaced", "a=24\nb=60\nc=24\nd=60\ne=x", true, {17, 15, 7, 30}, "111", "x"},
        {"edges of the range kept", "a=23\nb=59\nc=0\nd=59\ne=x", true, {23, 59, 0, 59}, "111", "x"},
        {"low 8 bits before the range", "a=256\nb=-1\nc=$FF\nd=$13C\ne=x", true, {0, 15, 7, 30}, "111",
         "x"},
        {"hour off keeps the old hour", "h=-\nm=15\nh=\nm=30\ne=x", true, {KEPT, 15, KEPT, 30}, "111",
         "x"},
        {"minute off turns its pair off", "h=5\nm=-\nh=6\nm=\nt=-", true, {5, KEPT, 6, KEPT}, "000", "-"},
        {"lines without =", "17\n15\n7\n30\n/disconnect", true, {17, 15, 7, 30}, "111", "/disconnect"},
        {"first = splits", "h=1\nm=2\nh=3\nm=4\nDisconnectStr=a=b\n", true, {1, 2, 3, 4}, "111", "a=b"},
        {"blanks before a number, kept in the text", "h= 17\nm=  15\nh=7\nm=30\nDisconnectStr= /x \n",
         true, {17, 15, 7, 30}, "111", " /x "},
        {"lone CR dropped", "h=1\r7\nm=1\r\r5\r\nh=7\nm=30\nt=/dis\rconnect\r\n", true, {17, 15, 7, 30},
         "111", "/disconnect"},
        {"Ctrl-Z ends the value", "\x1Ah=99\nm=15\x1A junk\nh=\x1A" "7\nm=30\x1A\r\nt=/dis\x1A=connect\n",
         true, {KEPT, 15, KEPT, 30}, "111", "/dis"},
        {"Ctrl-Z before the line end", "h=17\x1A=5\r\nm=15\n7\n30\n/d", true, {17, 15, 7, 30}, "111",
         "/d"},
        {"100 KB lines", "h=" + longBlanks + "17\nm=15\nh=7\nm=30\nt=" + longText, true, {17, 15, 7, 30},
         "111", longText},
        {"NUL is a byte of the text", std::string("1\n2\n3\n4\nt=a\0b", 13), true, {1, 2, 3, 4}, "111",
         std::string("a\0b", 3)},
        {"two lines", "h_disconnect=17\r\nm_disconnect=15\r\n", true, {17, 15, KEPT, KEPT}, "100", ""},
        {"empty file", "", true, {KEPT, KEPT, KEPT, KEPT}, "000", ""},
        {"blank lines take positions", "\n15\n\n30\n\n", true, {KEPT, 15, KEPT, 30}, "110", ""},
        {"UTF-8 byte-order mark skipped", "\xEF\xBB\xBFh=1\nm=2\nh=3\nm=4\nt=x", true, {1, 2, 3, 4}, "111", "x"},
        {"byte-order mark only at the file start", "\xEF\xBB\xBF\xEF\xBB\xBF" "1\n", false,
         {KEPT, KEPT, KEPT, KEPT}, "1BB", "old"},
        {"part of a mark is the file's own", "\xEF\xBB" "1\n", false, {KEPT, KEPT, KEPT, KEPT}, "1BB", "old"},
        {"lines after the fifth ignored", std::string(DEFAULT_SETTINGS_FILE) + "1 7\n$$$\n", true,
         {17, 15, 7, 30}, "111", "/disconnect"},
        // A failed number: its flag is already decided, later lines are never reached.
        {"line 1 trailing blank", "h=17 \nm=9\nh=9\nm=9\nt=new", false, {KEPT, KEPT, KEPT, KEPT}, "1BB",
         "old"},
        {"line 1 blank only", "h= \nm=9\nh=9\nm=9\nt=new", false, {KEPT, KEPT, KEPT, KEPT}, "1BB", "old"},
        {"line 1 second =", "h=1=2\nm=9\nh=9\nm=9\nt=new", false, {KEPT, KEPT, KEPT, KEPT}, "1BB", "old"},
        {"line 1 malformed, minute off", "h=5x\nm=-\nh=9\nm=9\nt=new", false, {KEPT, KEPT, KEPT, KEPT},
         "1BB", "old"},
        {"line 2 two signs", "h=5\nm=+-1\nh=9\nm=9\nt=new", false, {5, KEPT, KEPT, KEPT}, "1BB", "old"},
        {"line 3 letter after, pair 1 off", "h=5\nm=-\nh=7a\nm=9\nt=new", false, {5, KEPT, KEPT, KEPT},
         "01B", "old"},
        {"line 3 leading TAB, pair 1 on", "h=-\nm=6\nh=\t7\nm=9\nt=new", false, {KEPT, 6, KEPT, KEPT}, "11B",
         "old"},
        {"line 4 beyond 32 bits", "h=-\nm=6\nh=7\nm=2147483648\nt=new", false, {KEPT, 6, 7, KEPT}, "11B",
         "old"},
        {"line 4 nine hex digits", "h=9\nm=-\nh=-\nm=$123456789\nt=new", false, {9, KEPT, KEPT, KEPT}, "01B",
         "old"},
    };
    // clang-format on
}

std::string triggerOf(const Settings& s) {
    const TriggerText& t = s.triggerText;
    return t.size != 0 ? std::string(reinterpret_cast<const char*>(t.bytes), t.size) : std::string();
}

// Settings as an earlier start left them: 1:02 and 3:04, trigger "old".
void prefill(Settings* s, bool flags) {
    *s = Settings{1, 2, 3, 4, flags, flags, flags, {}};
    setTriggerText(&s->triggerText, reinterpret_cast<const uint8_t*>("old"), 3);
}

bool parseWhole(const std::string& text, Settings* target) {
    return parseSettingsText(reinterpret_cast<const uint8_t*>(text.data()), text.size(), target);
}

bool parseByteByByte(const std::string& text, Settings* target) {
    SettingsParser parser;
    beginSettingsParse(&parser, target);
    for (char c : text) {
        const uint8_t byte = static_cast<uint8_t>(c);
        feedSettingsBytes(&parser, &byte, 1);
    }
    return finishSettingsParse(&parser) == PARSE_DONE;
}

void expectLoaded(const Row& row, const Settings& s, bool ok, bool before) {
    EXPECT_EQ(ok, row.ok);
    const uint8_t got[4] = {s.disconnectHour, s.disconnectMinute, s.onlineHour, s.onlineMinute};
    for (int i = 0; i < 4; ++i) {
        const int expected = row.hours[i] == KEPT ? i + 1 : row.hours[i];
        EXPECT_EQ(got[i], expected) << "time " << i;
    }
    const bool flags[3] = {s.disconnectEnabled, s.onlineEnabled, s.triggerEnabled};
    for (int i = 0; i < 3; ++i) {
        const bool expected = row.flags[i] == 'B' ? before : row.flags[i] == '1';
        EXPECT_EQ(flags[i], expected) << "flag " << i;
    }
    EXPECT_EQ(triggerOf(s), row.trigger);
}

TEST(SettingsText, LineRulesAndStateKeptFromBefore) {
    for (const Row& row : rows()) {
        for (bool before : {false, true}) {
            for (bool byteByByte : {false, true}) {
                SCOPED_TRACE(std::string(row.name) + (before ? ", flags on before" : ", flags off before") +
                             (byteByByte ? ", byte by byte" : ", in one piece"));
                Settings s;
                prefill(&s, before);
                const bool ok = byteByByte ? parseByteByByte(row.text, &s) : parseWhole(row.text, &s);
                expectLoaded(row, s, ok, before);
                setTriggerText(&s.triggerText, nullptr, 0);
            }
        }
    }
}

}  // namespace
