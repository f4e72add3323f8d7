#include "zlibwrap/ZipNameText.h"

#if defined(_WIN32)
// LCMapStringEx and strict UTF-8 conversion need Windows 7, as Qt 5.15 does.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0601
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <iconv.h>
#include <locale.h>
#include <wctype.h>
#endif

#include <cstddef>

namespace {

#if defined(_WIN32)

constexpr UINT kGb18030 = 54936;

// UTF-8 and GB18030 never need more UTF-16 units than bytes.
bool toUtf16(UINT codePage, const std::string& in, std::wstring& out)
{
    out.assign(in.size(), L'\0');
    if (in.empty())
        return true;
    const int length =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                            out.data(), static_cast<int>(out.size()));
    out.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return length > 0;
}

bool toUtf8(const std::wstring& in, std::string& out)
{
    out.assign(in.size() * 3, '\0');
    if (in.empty())
        return true;
    const int length =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                            out.data(), static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return length > 0;
}

bool isUtf8(const std::string& text)
{
    std::wstring ignored;
    return toUtf16(CP_UTF8, text, ignored);
}

bool gb18030ToUtf8(const std::string& in, std::string& out)
{
    std::wstring wide;
    return toUtf16(kGb18030, in, wide) && toUtf8(wide, out);
}

// Simple upper and lower case mappings keep the length.
bool mapCase(DWORD mapping, std::wstring& text)
{
    if (text.empty())
        return true;
    std::wstring mapped(text.size(), L'\0');
    const int length =
        LCMapStringEx(LOCALE_NAME_INVARIANT, mapping, text.data(), static_cast<int>(text.size()),
                      mapped.data(), static_cast<int>(mapped.size()), nullptr, nullptr, 0);
    if (length != static_cast<int>(text.size()))
        return false;
    text.swap(mapped);
    return true;
}

#else

// Converts all of `in`; false on an invalid or incomplete sequence. Four
// output bytes per input byte cover every conversion made here.
bool convert(const char* to, const char* from, const std::string& in, std::string& out)
{
    const iconv_t converter = iconv_open(to, from);
    if (converter == reinterpret_cast<iconv_t>(-1))
        return false;
    out.assign(in.size() * 4, '\0');
    std::string input = in;
    char* inBytes = input.data();
    char* outBytes = out.data();
    std::size_t inLeft = input.size();
    std::size_t outLeft = out.size();
    const bool converted =
        iconv(converter, &inBytes, &inLeft, &outBytes, &outLeft) != static_cast<std::size_t>(-1);
    iconv_close(converter);
    out.resize(out.size() - outLeft);
    return converted && inLeft == 0;
}

// Converting to UTF-32 also refuses surrogates and code points past U+10FFFF,
// which a UTF-8 decoder alone lets through.
bool toUtf32(const std::string& utf8, std::string& utf32le)
{
    return convert("UTF-32LE", "UTF-8", utf8, utf32le);
}

bool isUtf8(const std::string& text)
{
    std::string ignored;
    return toUtf32(text, ignored);
}

bool gb18030ToUtf8(const std::string& in, std::string& out)
{
    return convert("UTF-8", "GB18030", in, out);
}

wint_t codePointAt(const std::string& utf32le, std::size_t offset)
{
    wint_t codePoint = 0;
    for (std::size_t byte = 4; byte-- > 0;)
        codePoint = (codePoint << 8) | static_cast<unsigned char>(utf32le[offset + byte]);
    return codePoint;
}

// The case tables of C.UTF-8 cover all of Unicode and, unlike the process's
// own locale, do not depend on the user's language settings.
locale_t unicodeCaseTables()
{
    static const locale_t tables = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t());
    return tables;
}

#endif

} // namespace

// Zip tools that predate UTF-8 names write them in the system's ANSI code
// page without saying which. The unmarked names our packages meet come from
// Simplified Chinese Windows, code page 936 (GBK), which GB18030 extends to
// all of Unicode, so every name those tools write decodes; CP437, the zip
// format's old default, would install such files under box-drawing garbage.
bool decodeZipEntryName(const std::string& raw, bool markedUtf8, std::string& utf8)
{
    if (isUtf8(raw)) {
        utf8 = raw;
        return true;
    }
    return !markedUtf8 && gb18030ToUtf8(raw, utf8);
}

#if defined(_WIN32)
bool caseFoldedName(const std::string& utf8, std::wstring& folded)
{
    return toUtf16(CP_UTF8, utf8, folded) && mapCase(LCMAP_UPPERCASE, folded) &&
           mapCase(LCMAP_LOWERCASE, folded);
}
#else
bool caseFoldedName(const std::string& utf8, std::wstring& folded)
{
    const locale_t tables = unicodeCaseTables();
    std::string utf32le;
    if (tables == locale_t() || !toUtf32(utf8, utf32le))
        return false;
    folded.clear();
    for (std::size_t offset = 0; offset < utf32le.size(); offset += 4) {
        const wint_t upper = towupper_l(codePointAt(utf32le, offset), tables);
        folded += static_cast<wchar_t>(towlower_l(upper, tables));
    }
    return true;
}
#endif
