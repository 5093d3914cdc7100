#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/Numbers.h"
#include "platform/Text.h"

namespace bhv {

// The flat XML settings files of the program: a declaration with version "1.0", one root
// element and one child element per key whose text is the value. Both settings records load
// and save through the functions below, so the file format lives in one place.

// Writes the file through a temporary file and a rename (a failed save leaves the old file).
bool SaveFlatXml(const std::filesystem::path& path, const std::string& root,
                 const std::vector<std::pair<std::string, std::string>>& children);

// The children of the document's first element (whatever its name): key -> text of the first
// element with that name ("" for an element without text). nullopt when the file is missing,
// unreadable, not well-formed XML (truncated, for instance) or has no element at all.
class FlatXml {
public:
    static std::optional<FlatXml> Load(const std::filesystem::path& path);
    // The text of the first child element named `key`; nullopt when there is none.
    std::optional<std::string> Text(const std::string& key) const;

private:
    std::vector<std::pair<std::string, std::string>> children_;
};

// How a stored floating-point value is written: printf's "%f" or "%g" (both read back alike).
enum class XmlFloat { Fixed, General };

// One stored key of a settings record: the element's name, the member it holds and how its
// text is written and read back. A record lists its keys once, in the order they are written;
// loading and saving both go through that list (LoadXmlRecord, SaveXmlRecord), so each key's
// name appears once in the code. On loading, a missing key leaves a number as it was and
// empties a text.
template <class Record>
struct XmlKey {
    // Whole numbers: decimal, read with atoi's rules (clamped to the 32-bit range).
    XmlKey(const char* name, int32_t Record::*member)
        : name(name),
          write([member](const Record& r) { return std::to_string(r.*member); }),
          read([member](Record& r, const std::string* text) {
              if (text) r.*member = ParseInt(*text);
          }) {}
    XmlKey(const char* name, float Record::*member, XmlFloat format)
        : name(name),
          write([member, format](const Record& r) {
              return format == XmlFloat::Fixed ? FormatFixed6(r.*member) : FormatGeneral(r.*member);
          }),
          read([member](Record& r, const std::string* text) {
              if (text) r.*member = static_cast<float>(ParseDouble(*text));
          }) {}
    // Text: UTF-8 in the file.
    XmlKey(const char* name, std::wstring Record::*member)
        : name(name),
          write([member](const Record& r) { return ToNarrow(r.*member); }),
          read([member](Record& r, const std::string* text) {
              r.*member = text ? ToWide(*text) : std::wstring();
          }) {}
    // Any other member, with its own conversion to and from the text.
    template <class T>
    XmlKey(const char* name, T Record::*member, std::string (*format)(T),
           T (*parse)(const std::string&))
        : name(name),
          write([member, format](const Record& r) { return format(r.*member); }),
          read([member, parse](Record& r, const std::string* text) {
              if (text) r.*member = parse(*text);
          }) {}

    const char* name;
    std::function<std::string(const Record&)> write;
    // `text` is null when the file has no such key.
    std::function<void(Record&, const std::string* text)> read;
};

// Writes every key of the record, in the table's order, under the root element `root`.
template <class Record>
bool SaveXmlRecord(const std::filesystem::path& path, const std::string& root, const Record& record,
                   std::span<const XmlKey<Record>> keys) {
    std::vector<std::pair<std::string, std::string>> children;
    children.reserve(keys.size());
    for (const XmlKey<Record>& key : keys) children.emplace_back(key.name, key.write(record));
    return SaveFlatXml(path, root, children);
}

// Reads every key of the table into the record (whatever the root element's name). False, and
// the record unchanged, when the file cannot be read as a whole (see FlatXml::Load).
template <class Record>
bool LoadXmlRecord(const std::filesystem::path& path, Record& record,
                   std::span<const XmlKey<Record>> keys) {
    const std::optional<FlatXml> xml = FlatXml::Load(path);
    if (!xml) return false;
    for (const XmlKey<Record>& key : keys) {
        const std::optional<std::string> text = xml->Text(key.name);
        key.read(record, text ? &*text : nullptr);
    }
    return true;
}

}  // namespace bhv
