#include "app/export_edit_payload_shape.h"

#include "library/edit_document.h"

namespace marlune {

std::string settledShape(const Json* stored) {
    if (stored && stored->is_string() && outputShapeNamed(stored->get<std::string>())) {
        return stored->get<std::string>();
    }
    return "original";
}

Json lookAsEdit(const Json& look) {
    if (!look.is_object()) return Json();
    Json edit = Json::object();
    for (const char* key : {"frame", "cursor", "webcam", "shape"}) {
        if (auto it = look.find(key); it != look.end()) edit[key] = *it;
    }
    if (auto it = edit.find("webcam"); it != edit.end() && it->is_object()) it->erase("enabled");
    return edit;
}

std::string shapeProblem(const Json& file) {
    auto it = file.find("shape");
    if (it == file.end() || (it->is_string() && outputShapeNamed(it->get<std::string>())))
        return {};
    return "“shape” must be \"original\", \"16:9\", \"9:16\", \"1:1\" or \"4:3\"";
}

}  // namespace marlune
