#include "storage/XmlFile.h"

#include <tinyxml.h>

#include <fstream>

#include "platform/FileSystem.h"

namespace bhv {

bool SaveFlatXml(const std::filesystem::path& path, const std::string& root,
                 const std::vector<std::pair<std::string, std::string>>& children) {
    TiXmlDocument doc;
    doc.LinkEndChild(new TiXmlDeclaration("1.0", "", ""));
    auto* rootElement = new TiXmlElement(root.c_str());
    doc.LinkEndChild(rootElement);
    for (const auto& [key, value] : children) {
        auto* child = new TiXmlElement(key.c_str());
        child->LinkEndChild(new TiXmlText(value.c_str()));
        rootElement->LinkEndChild(child);
    }
    return ReplaceFileAtomically(path, [&doc](const std::filesystem::path& temp) {
        return doc.SaveFile(temp.string().c_str());
    });
}

std::optional<FlatXml> FlatXml::Load(const std::filesystem::path& path) {
    // The file is read here, not by TinyXML's LoadFile: TinyXML 2.6 reads a few bytes past the
    // end of its text when the text ends in a '&' or a multi-byte UTF-8 lead byte (a cut-off or
    // damaged file), so the text goes to the parser with spare NUL bytes after it. A settings file is small: anything over a megabyte is not one.
    constexpr std::streamsize kLargest = 1 << 20;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(kLargest + 1, '\0');
    in.read(text.data(), kLargest + 1);
    if (in.gcount() > kLargest) return std::nullopt;
    text.resize(static_cast<size_t>(in.gcount()));
    // Line ends as LoadFile makes them: CR LF and a lone CR become LF.
    std::string normal;
    normal.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') {
            normal += text[i];
        } else {
            normal += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        }
    }
    normal.append(8, '\0');
    TiXmlDocument doc;
    // A truncated or otherwise malformed file counts as no file at all: a parser that stopped
    // half-way may leave a partial tree whose missing keys would wrongly reset values.
    doc.Parse(normal.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    if (doc.Error()) return std::nullopt;
    const TiXmlElement* root = doc.FirstChildElement();
    if (!root) return std::nullopt;
    FlatXml xml;
    for (const TiXmlElement* e = root->FirstChildElement(); e; e = e->NextSiblingElement()) {
        const char* text = e->GetText();
        xml.children_.emplace_back(e->Value(), text ? text : "");
    }
    return xml;
}

std::optional<std::string> FlatXml::Text(const std::string& key) const {
    for (const auto& [name, text] : children_)
        if (name == key) return text;
    return std::nullopt;
}

}  // namespace bhv
