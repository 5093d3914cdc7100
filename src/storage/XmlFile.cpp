#include "storage/XmlFile.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string_view>

#include "platform/FileSystem.h"

namespace bhv {
namespace {

// The settings files on the field machines were written and read by TinyXML 2.6. tinyxml2
// parses the files here, with its entity processing off, so that element texts arrive as they
// stand in the file; the escaping on writing and the reading of texts below keep TinyXML's
// rules, so that a file reads to the same values whichever version wrote it, and an older
// version still reads the files this one writes.

// Element texts as TinyXML wrote them: the five named entities, and characters below 32 (tab
// and line feed included) as hexadecimal references, so that they survive the folding of
// white space on reading.
std::string EscapeText(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        switch (c) {
            case '\0':
                return out;  // a text ends at its first NUL, as in the C string it was
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                if (static_cast<unsigned char>(c) < 32) {
                    char reference[8];
                    std::snprintf(reference, sizeof reference, "&#x%02X;",
                                  static_cast<unsigned>(static_cast<unsigned char>(c)));
                    out += reference;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

bool IsXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(text[i]) != lower(prefix[i])) return false;
    }
    return true;
}

// How many bytes TinyXML took together for a character of a UTF-8 document: the sequence
// length a lead byte announces, 1 for anything else.
size_t Utf8Length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 1;
}

void AppendUtf8(uint64_t code, std::string& out) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x200000) {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
    // Beyond 21 bits nothing is written.
}

// Decodes the reference at text[i] ('&') onto `out` and moves `i` past it. Of a named entity
// other than the five, or a lone '&', the '&' is dropped and the rest read as text; a numeric
// reference that is not terminated or holds a wrong digit makes the text unreadable (false):
// TinyXML did both.
bool DecodeReference(std::string_view text, size_t& i, bool utf8, std::string& out) {
    if (i + 2 < text.size() && text[i + 1] == '#') {
        const bool hex = text[i + 2] == 'x';
        const size_t digits = i + (hex ? 3 : 2);
        const size_t end = text.find(';', digits);
        if (end == std::string_view::npos) return false;
        // Summed from the last digit, in the widths TinyXML used (a 32-bit place value).
        uint64_t code = 0;
        uint32_t place = 1;
        for (size_t k = end; k-- > digits;) {
            const char c = text[k];
            uint32_t digit;
            if (c >= '0' && c <= '9')
                digit = static_cast<uint32_t>(c - '0');
            else if (hex && c >= 'a' && c <= 'f')
                digit = static_cast<uint32_t>(c - 'a' + 10);
            else if (hex && c >= 'A' && c <= 'F')
                digit = static_cast<uint32_t>(c - 'A' + 10);
            else
                return false;
            code += static_cast<uint32_t>(place * digit);
            place *= hex ? 16u : 10u;
        }
        if (utf8)
            AppendUtf8(code, out);
        else
            out += static_cast<char>(code);  // a single byte in a document of another encoding
        i = end + 1;
        return true;
    }
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    for (const auto& [name, c] : kNamed) {
        if (text.substr(i, name.size()) == name) {
            out += c;
            i += name.size();
            return true;
        }
    }
    ++i;
    return true;
}

// An element's text as it stands in the file, read the way TinyXML read it: white space at
// either end dropped (with foldSpace) and every run of white space inside made one space (white
// space written as a reference is kept), references decoded. nullopt for a text TinyXML failed on.
std::optional<std::string> ReadText(std::string_view raw, bool utf8, bool foldSpace) {
    std::string out;
    out.reserve(raw.size());
    bool space = false;
    size_t i = 0;
    // Before the text TinyXML also passed over the marks U+FEFF, U+FFFE and U+FFFF of a UTF-8
    // document.
    while (foldSpace && i < raw.size()) {
        const std::string_view mark = raw.substr(i, 3);
        if (utf8 && (mark == "\xEF\xBB\xBF" || mark == "\xEF\xBF\xBE" || mark == "\xEF\xBF\xBF"))
            i += 3;
        else if (IsXmlSpace(raw[i]))
            ++i;
        else
            break;
    }
    while (i < raw.size()) {
        const char c = raw[i];
        if (foldSpace && IsXmlSpace(c)) {
            space = true;
            ++i;
            continue;
        }
        if (space) {
            out += ' ';
            space = false;
        }
        if (c == '&') {
            if (!DecodeReference(raw, i, utf8, out)) return std::nullopt;
            continue;
        }
        // The bytes a lead byte claims go over as they are, whatever they are.
        const size_t length =
            utf8 ? std::min(Utf8Length(static_cast<unsigned char>(c)), raw.size() - i) : 1;
        out.append(raw.substr(i, length));
        i += length;
    }
    return out;
}

bool IsBlank(const std::string& text) {
    for (const char c : text)
        if (!IsXmlSpace(c)) return false;
    return true;
}

// The text of an element: its first child when that is a text, "" otherwise. A text that
// reads as white space only is passed over (TinyXML kept no such node), and a text ends at a
// NUL that a reference made.
std::string ElementText(const tinyxml2::XMLElement* element, bool utf8) {
    for (const tinyxml2::XMLNode* n = element->FirstChild(); n; n = n->NextSibling()) {
        const tinyxml2::XMLText* node = n->ToText();
        if (!node) break;
        if (node->CData()) return node->Value();
        std::string text = ReadText(node->Value(), utf8, true).value_or("");
        if (IsBlank(text)) continue;
        if (const size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
        return text;
    }
    return {};
}

// Reads a declaration "<?xml ...?>" (`value`: its text between "<?" and "?>") the way TinyXML
// did: its version, encoding and standalone attributes need a name, an '=' and a value, quoted
// or not (a bare value holds no quote), and a '>' outside a quoted value ends it. False for a
// declaration TinyXML refused; `encoding` gets the encoding it names ("" for none).
bool ReadDeclaration(std::string_view value, bool utf8, std::string& encoding) {
    const auto isNameChar = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 127 || std::isalnum(u) || c == '_' || c == '-' || c == '.' || c == ':';
    };
    size_t at = 3;  // after "xml"
    for (;;) {
        while (at < value.size() && IsXmlSpace(value[at])) ++at;
        if (at >= value.size()) return true;
        // TinyXML ended the declaration at a '>' and read what follows it as text outside the
        // root element, that is, no root at all.
        if (value[at] == '>') return false;
        const std::string_view rest = value.substr(at);
        const bool isEncoding = StartsWithNoCase(rest, "encoding");
        if (!isEncoding && !StartsWithNoCase(rest, "version") &&
            !StartsWithNoCase(rest, "standalone")) {
            while (at < value.size() && !IsXmlSpace(value[at]) && value[at] != '>') ++at;
            continue;
        }
        while (at < value.size() && isNameChar(value[at])) ++at;
        while (at < value.size() && IsXmlSpace(value[at])) ++at;
        if (at >= value.size() || value[at] != '=') return false;
        ++at;
        while (at < value.size() && IsXmlSpace(value[at])) ++at;
        std::string text;
        if (at < value.size() && (value[at] == '"' || value[at] == '\'')) {
            const size_t end = value.find(value[at], at + 1);
            if (end == std::string_view::npos) return false;
            const std::optional<std::string> read =
                ReadText(value.substr(at + 1, end - at - 1), utf8, false);
            if (!read) return false;
            text = *read;
            at = end + 1;
        } else {
            // A bare value runs to white space, '/' or '>': at the end of the text that is the
            // '?' of "?>".
            while (at < value.size() && !IsXmlSpace(value[at]) && value[at] != '/' &&
                   value[at] != '>') {
                if (value[at] == '"' || value[at] == '\'') return false;
                text += value[at++];
            }
            if (at >= value.size()) text += '?';
        }
        if (isEncoding) encoding = text;
    }
}

// Whether references in the document make UTF-8 characters: with a byte order mark, or when
// its first declaration names no encoding or UTF-8 ("UTF8" too); a document without a
// declaration or of any other encoding gets single bytes. False when TinyXML refused one of
// its declarations.
bool ReadDeclarations(std::string_view text, const tinyxml2::XMLDocument& doc, bool& utf8) {
    const bool bom = text.substr(0, 3) == "\xEF\xBB\xBF";
    utf8 = bom;
    bool first = true;
    for (const tinyxml2::XMLNode* n = doc.FirstChild(); n && n->ToDeclaration();
         n = n->NextSibling()) {
        const std::string_view value = n->Value() ? n->Value() : "";
        if (!StartsWithNoCase(value, "xml")) {
            // Another processing instruction, which TinyXML ended at its first '>'.
            if (value.find('>') != std::string_view::npos) return false;
            continue;
        }
        std::string encoding;
        if (!ReadDeclaration(value, bom, encoding)) return false;
        if (first && !bom)
            utf8 = encoding.empty() || StartsWithNoCase(encoding, "UTF-8") ||
                   StartsWithNoCase(encoding, "UTF8");
        first = false;
    }
    return true;
}

// Every text and attribute value below `element` reads (see ReadText).
bool AllTextsRead(const tinyxml2::XMLElement* element, bool utf8) {
    for (const tinyxml2::XMLAttribute* a = element->FirstAttribute(); a; a = a->Next())
        if (!ReadText(a->Value(), utf8, false)) return false;
    for (const tinyxml2::XMLNode* n = element->FirstChild(); n; n = n->NextSibling()) {
        if (const tinyxml2::XMLText* text = n->ToText()) {
            if (!text->CData() && !ReadText(text->Value(), utf8, true)) return false;
        } else if (const tinyxml2::XMLElement* child = n->ToElement()) {
            if (!AllTextsRead(child, utf8)) return false;
        }
    }
    return true;
}

}  // namespace

bool SaveFlatXml(const std::filesystem::path& path, const std::string& root,
                 const std::vector<std::pair<std::string, std::string>>& children) {
    // Without entity processing the printer writes the texts as EscapeText made them.
    tinyxml2::XMLDocument doc(false);
    // TinyXML's declaration for version "1.0" and no encoding, byte for byte.
    doc.InsertEndChild(doc.NewDeclaration("xml version=\"1.0\" "));
    tinyxml2::XMLElement* rootElement = doc.NewElement(root.c_str());
    doc.InsertEndChild(rootElement);
    for (const auto& [key, value] : children) {
        tinyxml2::XMLElement* child = doc.NewElement(key.c_str());
        child->InsertEndChild(doc.NewText(EscapeText(value).c_str()));
        rootElement->InsertEndChild(child);
    }
    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    const std::string_view content(printer.CStr(), static_cast<size_t>(printer.CStrSize() - 1));
    // Written by the stream, whose state tells a short write (a full disk) from a complete one.
    return ReplaceFileAtomically(path, [content](const std::filesystem::path& temp) {
        std::ofstream out(temp);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        return !out.fail();
    });
}

std::optional<FlatXml> FlatXml::Load(const std::filesystem::path& path) {
    // A settings file is small: anything over a megabyte is not one.
    constexpr std::streamsize kLargest = 1 << 20;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(kLargest + 1, '\0');
    in.read(text.data(), kLargest + 1);
    if (in.gcount() > kLargest) return std::nullopt;
    text.resize(static_cast<size_t>(in.gcount()));
    // The document ends at a NUL byte (the zeros a power cut can leave at a file's end).
    if (const size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);

    tinyxml2::XMLDocument doc(false, tinyxml2::PRESERVE_WHITESPACE);
    // A truncated or otherwise malformed file counts as no file at all: a parser that stopped
    // half-way may leave a partial tree whose missing keys would wrongly reset values.
    if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) return std::nullopt;
    bool utf8 = false;
    if (!ReadDeclarations(text, doc, utf8)) return std::nullopt;
    // The document's elements up to the first text outside them: TinyXML read no further.
    const tinyxml2::XMLElement* root = nullptr;
    for (const tinyxml2::XMLNode* n = doc.FirstChild(); n; n = n->NextSibling()) {
        if (n->ToText() && !n->ToText()->CData()) break;
        const tinyxml2::XMLElement* e = n->ToElement();
        if (!e) continue;
        if (!AllTextsRead(e, utf8)) return std::nullopt;
        if (!root) root = e;
    }
    if (!root) return std::nullopt;
    FlatXml xml;
    for (const tinyxml2::XMLElement* e = root->FirstChildElement(); e; e = e->NextSiblingElement())
        xml.children_.emplace_back(e->Name(), ElementText(e, utf8));
    return xml;
}

std::optional<std::string> FlatXml::Text(const std::string& key) const {
    for (const auto& [name, text] : children_)
        if (name == key) return text;
    return std::nullopt;
}

}  // namespace bhv
