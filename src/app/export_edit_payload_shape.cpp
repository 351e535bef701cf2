#include "app/export_edit_payload_shape.h"

#include "library/edit_document.h"

namespace marlune {

std::string settledShape(const Json* stored) {
    if (stored && stored->is_string() && outputShapeNamed(stored->get<std::string>())) {
        return stored->get<std::string>();
    }
    return "original";
}

std::string shapeProblem(const Json& file) {
    auto it = file.find("shape");
    if (it == file.end() || (it->is_string() && outputShapeNamed(it->get<std::string>())))
        return {};
    return "“shape” must be \"original\", \"16:9\", \"9:16\", \"1:1\" or \"4:3\"";
}

}  // namespace marlune
