#include "app/command_line_export_options.h"

#include <charconv>

#include "library/edit_document.h"

namespace marlune {

std::string curlyQuoted(std::string_view s) {
    return "“" + std::string(s) + "”";
}

Result<ExportArguments> parseExportArguments(const std::vector<std::string>& args) {
    ExportArguments o;
    bool haveName = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            if (haveName)
                return fail("one recording at a time (" + curlyQuoted(o.name) + " and " +
                            curlyQuoted(a) + ")");
            o.name = a;
            haveName = true;
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            o.help = true;
            continue;
        }
        if (a == "--quiet" || a == "-q") {
            o.quiet = true;
            continue;
        }
        if (a == "--print-edit") {
            o.printEdit = true;
            continue;
        }
        // Options with a value: "--out PATH" or "--out=PATH".
        std::string flag = a;
        std::optional<std::string> value;
        if (auto eq = a.find('='); eq != std::string::npos) {
            flag = a.substr(0, eq);
            value = a.substr(eq + 1);
        }
        if (flag != "--edit" && flag != "--height" && flag != "--out" && flag != "--format" &&
            flag != "--shape") {
            return fail("unknown option " + curlyQuoted(flag));
        }
        if (!value) {
            if (i + 1 >= args.size()) return fail(flag + " needs a value");
            value = args[++i];
        }
        if (value->empty()) return fail(flag + " needs a value");
        if (flag == "--edit") {
            if (o.editFile) return fail("--edit given twice");
            o.editFile = *value;
        } else if (flag == "--format") {
            if (o.format) return fail("--format given twice");
            if (*value != "mp4" && *value != "gif" && *value != "webm") {
                return fail("--format takes mp4, gif or webm, not " + curlyQuoted(*value));
            }
            o.format = *value;
        } else if (flag == "--shape") {
            if (o.shape) return fail("--shape given twice");
            if (!outputShapeNamed(*value)) {
                return fail("--shape takes original, 16:9, 9:16, 1:1 or 4:3, not " +
                            curlyQuoted(*value));
            }
            o.shape = *value;
        } else if (flag == "--out") {
            if (o.out) return fail("--out given twice");
            o.out = *value;
        } else {
            if (o.height) return fail("--height given twice");
            std::int64_t h = 0;
            const char* end = value->data() + value->size();
            auto [p, ec] = std::from_chars(value->data(), end, h);
            if (ec != std::errc() || p != end || h < 0 || h > 100000) {
                return fail("--height takes a whole number of pixels, not " + curlyQuoted(*value));
            }
            o.height = h;
        }
    }
    if (!haveName && !o.help) return fail("which recording? NAME is missing");
    return o;
}

}  // namespace marlune
