#include "storage/XmlFile.h"

#include <tinyxml.h>


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
    TiXmlDocument doc;
    // A truncated or otherwise malformed file counts as no file at all: a parser that stopped
    // half-way may leave a partial tree whose missing keys would wrongly reset values.
    if (!doc.LoadFile(path.string().c_str()) || doc.Error()) return std::nullopt;
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
