// Value types shared by every host backend: render node outputs and the scene header.

#include "host/host.h"

#include "common/errors.h"

namespace script::host {

namespace {

std::string xml_escape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string as_text(const Json& value)
{
    return value.is_string() ? value.get<std::string>() : value.dump();
}

}  // namespace

Json RenderNodeInfo::output_info_by_index(int index, bool /*force_local*/) const
{
    if (index < 0 || index >= number_of_outputs())
        throw HostError("output index out of range: " + std::to_string(index));
    return m_outputs[static_cast<std::size_t>(index)];
}

std::vector<std::string> RenderNodeInfo::all_output_names() const
{
    std::vector<std::string> names;
    names.reserve(m_outputs.size());
    for (const Json& output : m_outputs) {
        auto it = output.is_object() ? output.find("name") : output.end();
        names.push_back(it != output.end() && it->is_string() ? it->get<std::string>() : "");
    }
    return names;
}

Json RenderNodeInfo::output_info_by_name(std::string_view name, bool /*force_local*/) const
{
    for (const Json& output : m_outputs) {
        if (!output.is_object())
            continue;
        auto it = output.find("name");
        if (it != output.end() && it->is_string() && it->get<std::string>() == name)
            return output;
    }
    throw HostError("no render output named '" + std::string(name) + "'");
}

std::string HeaderElement::text() const
{
    if (printed) {
        return *printed;
    }
    std::string out = "<katana";
    if (attributes.is_object()) {
        for (const auto& [key, value] : attributes.items())
            out += " " + key + "=\"" + xml_escape(as_text(value)) + "\"";
    }
    return out + "/>";
}

std::string HeaderElement::item(std::string_view name) const
{
    if (attributes.is_object()) {
        auto it = attributes.find(std::string(name));
        if (it != attributes.end())
            return as_text(*it);
    }
    throw HostError("header has no item '" + std::string(name) + "'");
}

}  // namespace script::host
