// The stand-in popup library's trace and how its entries and attributes read.
#include <cstdio>
#include <mutex>
#include <sstream>

#include "host/popup/PopupLibrary.h"
#include "host/popup/PopupNames.h"
#include "host/popup/PopupResources.h"
#include "host/popup/PopupWidgetTree.h"
#include "platform/PopupAttributes.h"

namespace gwu::host {

namespace popup {

std::string Escape(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '\r':
                escaped += "\\r";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '"':
                escaped += "\\\"";
                break;
            case '\\':
                escaped += "\\\\";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

}  // namespace popup

std::string DescribeAttribute(const Attribute& attribute) {
    std::string text = std::to_string(attribute.code) + "=";
    if (const auto* number = std::get_if<int>(&attribute.value)) {
        if (attribute.code == qw::kAttrBackground) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%06X", static_cast<unsigned>(*number));
            text += hex;
        } else {
            text += std::to_string(*number);
        }
    } else if (const auto* string = std::get_if<std::string>(&attribute.value)) {
        text += "\"" + popup::Escape(*string) + "\"";
    } else {
        const HICON icon = std::get<HICON>(attribute.value);
        text += icon != nullptr ? "icon " + std::to_string(IconId(icon)) : "no icon";
    }
    return text;
}

std::string PopupTraceEntry::Describe() const {
    std::ostringstream out;
    const auto handle = [](int h) { return "#" + std::to_string(h); };
    const auto attributeList = [this]() {
        std::string list = "[";
        for (size_t i = 0; i < attributes.size(); ++i) {
            list += (i == 0 ? "" : ", ") + DescribeAttribute(attributes[i]);
        }
        return list + "]";
    };
    const auto arg = [this](size_t i) { return i < args.size() ? args[i] : 0; };
    switch (op) {
        case PopupOp::BlankPopup:
            out << "BlankPopup(" << arg(0) << ", " << arg(1) << ", " << arg(2) << ", " << arg(3)
                << ") -> " << handle(widget);
            break;
        case PopupOp::MessagePopup:
            out << "MessagePopup(" << arg(0) << ", " << text << ", " << arg(1) << ", " << arg(2)
                << ", " << arg(3) << ", " << arg(4) << ", " << arg(5) << ") -> " << handle(widget);
            break;
        case PopupOp::NewWidget:
            out << "NewWidget(" << type << ", " << handle(parent) << ", " << attributeList()
                << ") -> " << handle(widget);
            break;
        case PopupOp::NewSystemButton:
            out << "NewSystemButton(" << handle(parent) << ", " << type << ", " << attributeList()
                << ") -> " << handle(widget);
            break;
        case PopupOp::SetValue:
            out << "SetValue(" << handle(widget) << ", "
                << (attributes.empty() ? std::string("?") : DescribeAttribute(attributes[0]))
                << ", " << arg(0) << ")";
            break;
        case PopupOp::ValueOf:
            out << "ValueOf(" << handle(widget) << ", " << arg(0) << ") = " << arg(1);
            break;
        case PopupOp::AddCallback:
            out << "AddCallback(" << handle(widget) << ", " << type << ", data " << arg(0) << ")";
            break;
        case PopupOp::DeleteWidget:
            out << "DeleteWidget(" << handle(widget) << ", " << arg(0) << ")";
            break;
        case PopupOp::ModalBegin:
            out << "DoModalPopup(" << handle(widget) << ") begins";
            break;
        case PopupOp::Input:
            out << "input " << handle(widget) << ": " << text;
            break;
        case PopupOp::EndPopup:
            out << "EndPopup(" << handle(widget) << ", " << arg(0) << ")";
            break;
        case PopupOp::ModalEnd:
            out << "DoModalPopup(" << handle(widget) << ") returns " << arg(0);
            break;
    }
    return out.str();
}

std::vector<PopupTraceEntry> PopupTrace() {
    popup::State& state = popup::TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.trace;
}

std::vector<std::string> PopupTraceLines() {
    std::vector<std::string> lines;
    for (const PopupTraceEntry& entry : PopupTrace()) {
        lines.push_back(entry.Describe());
    }
    return lines;
}

}  // namespace gwu::host
