// The stand-in's text services: UTF-8/UTF-16, the ANSI code page (1252 or
// 65001), and msvcrt's environment tables.
#include "model.h"

#include <string.h>

#include <crtenv.h>

#include <algorithm>
#include <list>

namespace standin {

namespace {

// Windows-1252's 0x80..0x9F; the five unassigned bytes map to the same code point.
const WCHAR k1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                         0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                         0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                         0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void appendUtf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::vector<WCHAR> utf16(const std::string& s) {
    std::vector<WCHAR> out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        unsigned long cp;
        size_t len;
        if (c < 0x80) {
            cp = c, len = 1;
        } else if ((c >> 5) == 6) {
            cp = c & 0x1F, len = 2;
        } else if ((c >> 4) == 14) {
            cp = c & 0x0F, len = 3;
        } else if ((c >> 3) == 30) {
            cp = c & 0x07, len = 4;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (i + len > s.size()) {
            out.push_back(0xFFFD);
            break;
        }
        for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<WCHAR>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<WCHAR>(cp));
        }
    }
    return out;
}

std::string utf8(const WCHAR* s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        unsigned long cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        appendUtf8(out, cp);
    }
    return out;
}

std::vector<WCHAR> decode(UINT cp, const char* s, size_t n) {
    if (cp == CP_UTF8) return utf16(std::string(s, n));
    std::vector<WCHAR> out;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        out.push_back(c >= 0x80 && c < 0xA0 ? k1252[c - 0x80] : c);
    }
    return out;
}

std::string encode(UINT cp, const WCHAR* s, size_t n, bool* lost) {
    if (lost) *lost = false;
    if (cp == CP_UTF8) return utf8(s, n);
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        WCHAR w = s[i];
        int byte = -1;
        if (w < 0x80 || (w >= 0xA0 && w < 0x100)) {
            byte = w;
        } else {
            for (int k = 0; k < 32; ++k) {
                if (k1252[k] == w) byte = 0x80 + k;
            }
        }
        if (byte < 0) {
            if (lost) *lost = true;
            byte = '?';
            if (w >= 0xD800 && w < 0xDC00 && i + 1 < n) ++i;  // one '?' per character
        }
        out += static_cast<char>(byte);
    }
    return out;
}

UINT currentCodePage() { return model().codePage; }

// --- msvcrt's environment ---

namespace {

// Names compare as msvcrt's do in the C locale: ASCII letters without case,
// every other character exactly.
bool wideNameEquals(const WCHAR* a, const WCHAR* b, size_t n) {
    auto fold = [](WCHAR c) { return c >= 'A' && c <= 'Z' ? static_cast<WCHAR>(c - 'A' + 'a') : c; };
    for (size_t i = 0; i < n; ++i) {
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

// msvcrt keeps two tables, narrow and wide, and converts each change through the
// code page into the other; the wide table exists only after a first wide call.
struct Environment {
    struct Entry {
        std::string narrow;
        std::vector<WCHAR> wide;  // zero-terminated
    };
    std::list<Entry> entries;
    std::vector<char*> narrowTable;
    char** narrowPointer = nullptr;
    std::vector<WCHAR*> wideTable;
    WCHAR** widePointer = nullptr;
    bool wideInitialised = false;

    void rebuild() {
        narrowTable.clear();
        wideTable.clear();
        for (auto& e : entries) {
            narrowTable.push_back(&e.narrow[0]);
            wideTable.push_back(e.wide.data());
        }
        narrowTable.push_back(nullptr);
        wideTable.push_back(nullptr);
        narrowPointer = narrowTable.data();
        widePointer = wideInitialised ? wideTable.data() : nullptr;
    }

    void initWide() {
        if (!wideInitialised) {
            wideInitialised = true;
            rebuild();
        }
    }

    // Sets, replaces or (with an empty value) removes; -1 without '='. As
    // msvcrt, a narrow call finds the variable by its narrow name and a wide
    // call (byWideName) by its wide name, so two names that differ only in
    // characters the code page cannot hold stay two variables for wide callers.
    int put(const std::string& narrow, std::vector<WCHAR> wide, bool byWideName = false) {
        size_t eq = narrow.find('=', 1);
        if (eq == std::string::npos) return -1;
        auto weq = std::find(wide.begin() + (wide.empty() ? 0 : 1), wide.end(), WCHAR('='));
        if (weq == wide.end()) return -1;
        auto it = entries.begin();
        for (; it != entries.end(); ++it) {
            if (byWideName ? wideNameEquals(it->wide.data(), wide.data(), static_cast<size_t>(weq - wide.begin()) + 1)
                           : strncasecmp(it->narrow.c_str(), narrow.c_str(), eq + 1) == 0) {
                break;
            }
        }
        bool remove = eq + 1 == narrow.size();
        wide.push_back(0);
        if (it != entries.end()) {
            if (remove) {
                entries.erase(it);
            } else {
                *it = Entry{narrow, std::move(wide)};
            }
        } else if (!remove) {
            entries.push_back(Entry{narrow, std::move(wide)});
        }
        rebuild();
        return 0;
    }

    Entry* find(const std::string& name) {
        for (auto& e : entries) {
            if (e.narrow.size() > name.size() && e.narrow[name.size()] == '=' &&
                strncasecmp(e.narrow.c_str(), name.c_str(), name.size()) == 0) {
                return &e;
            }
        }
        return nullptr;
    }
};

Environment& environment() {
    static Environment* e = [] {
        auto* fresh = new Environment;
        fresh->rebuild();
        return fresh;
    }();
    return *e;
}

size_t wideLength(const WCHAR* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

}  // namespace

void setEnvironment(const std::vector<std::string>& entries) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    Environment& e = environment();
    e.entries.clear();
    e.wideInitialised = false;
    // Verbatim, as a process may start with them: "NAME=" entries included.
    for (auto& entry : entries) {
        std::vector<WCHAR> wide = decode(model().codePage, entry.data(), entry.size());
        wide.push_back(0);
        e.entries.push_back(Environment::Entry{entry, std::move(wide)});
    }
    e.rebuild();
}

bool wideEnvironmentInitialised() { return environment().wideInitialised; }

}  // namespace standin

using namespace standin;

extern "C" {

UINT WINAPI GetACP(void) { return model().codePage; }

int WINAPI MultiByteToWideChar(UINT cp, DWORD, LPCSTR src, int srcLen, LPWSTR dst, int dstLen) {
    if (cp == CP_ACP) cp = model().codePage;
    size_t n = srcLen < 0 ? strlen(src) + 1 : static_cast<size_t>(srcLen);
    std::vector<WCHAR> w = decode(cp, src, n);
    if (dstLen == 0) return static_cast<int>(w.size());
    if (w.size() > static_cast<size_t>(dstLen)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(w.begin(), w.end(), dst);
    return static_cast<int>(w.size());
}

int WINAPI WideCharToMultiByte(UINT cp, DWORD, LPCWSTR src, int srcLen, LPSTR dst, int dstLen, LPCSTR,
                               LPBOOL usedDefault) {
    if (cp == CP_ACP) cp = model().codePage;
    size_t n = srcLen < 0 ? wideLength(src) + 1 : static_cast<size_t>(srcLen);
    bool lost = false;
    std::string a = encode(cp, src, n, &lost);
    if (usedDefault) *usedDefault = lost ? TRUE : FALSE;
    if (dstLen == 0) return static_cast<int>(a.size());
    if (a.size() > static_cast<size_t>(dstLen)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(dst, a.data(), a.size());
    return static_cast<int>(a.size());
}

char*** __p__environ(void) { return &environment().narrowPointer; }

WCHAR*** __p__wenviron(void) { return &environment().widePointer; }

char* standin_getenv(const char* name) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    Environment::Entry* e = environment().find(name);
    return e ? &e->narrow[strlen(name) + 1] : nullptr;
}

WCHAR* _wgetenv(const WCHAR* name) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    Environment& env = environment();
    env.initWide();
    size_t n = wideLength(name);
    for (auto& e : env.entries) {
        if (e.wide.size() > n + 1 && e.wide[n] == '=' && wideNameEquals(name, e.wide.data(), n)) {
            return &e.wide[n + 1];
        }
    }
    return nullptr;
}

int _putenv(const char* entry) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    return environment().put(entry, decode(model().codePage, entry, strlen(entry)));
}

int _wputenv(const WCHAR* entry) {
    std::lock_guard<std::recursive_mutex> g(model().lock);
    Environment& e = environment();
    e.initWide();
    size_t n = wideLength(entry);
    return e.put(encode(model().codePage, entry, n, nullptr), std::vector<WCHAR>(entry, entry + n), true);
}

}  // extern "C"
