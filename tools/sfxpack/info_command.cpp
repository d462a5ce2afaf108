#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "package/bundle_reading.h"
#include "commands.h"
#include "package/input_file.h"
#include "package/package_check.h"
#include "package/package_error.h"
#include "package/packed_identity.h"
#include "tool_error.h"

namespace {

struct InfoOptions {
    std::string file;
    bool json = false;
};

nlohmann::json hex_or_null(bool known, uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return known ? nlohmann::json(text) : nlohmann::json(nullptr);
}

nlohmann::ordered_json describe(const std::string &name, const InputFile &file) {
    PackageCheck check = check_package(file, name);
    const PayloadLocation &location = check.location;
    const PayloadReport &report = check.report;
    bool clean = report.result == DECODE_OK;
    bool has_record = location.record_state > 0;
    // With a record the appended data is where it says; without one, what
    // lies between the payload and the end of the file or its signature.
    uint64_t appended_offset = location.payload_offset + (has_record ? location.record.payload_size : report.coded_size);
    bool appended_known = has_record || clean;

    nlohmann::ordered_json info;
    info["file"] = name;
    info["kind"] = location.in_executable ? "packed executable" : "bare payload";
    info["file_size"] = file.size();
    if (location.in_executable)
        info["loader_image_size"] = location.image_end;
    info["payload_offset"] = location.payload_offset;
    info["count"] = report.has_count ? nlohmann::json(report.count) : nlohmann::json(nullptr);
    info["coded_size"] = report.coded_size;
    info["ratio"] = clean && report.decoded_size > 0 ? nlohmann::json((double)report.coded_size / (double)report.decoded_size)
                                                     : nlohmann::json(nullptr);
    info["record"] = has_record;
    info["record_version"] = has_record ? nlohmann::json(location.record.version) : nlohmann::json(nullptr);
    info["flags"] = has_record ? nlohmann::json(flag_names(location.record.flags)) : nlohmann::json(nullptr);
    info["stub_crc32"] = hex_or_null(has_record, location.record.stub_crc32);
    info["appended_offset"] = appended_known ? nlohmann::json(appended_offset) : nlohmann::json(nullptr);
    info["appended_size"] = has_record ? nlohmann::json(location.record.appended_size)
                            : clean    ? nlohmann::json(location.data_end - appended_offset)
                                       : nlohmann::json(nullptr);
    info["appended_crc32"] = hex_or_null(has_record, location.record.appended_crc32);
    info["signature_size"] = location.signature_size;
    info["decodes_cleanly"] = clean;
    // What the loader's resources show Windows.
    if (location.in_executable) {
        ProgramIdentity identity = packed_identity(file.read_at(0, location.payload_offset));
        nlohmann::ordered_json icon = nullptr, strings = nullptr;
        if (identity.icon) {
            icon = nlohmann::json::array();
            for (const IconImage &image : *identity.icon)
                icon.push_back(icon_image_text(image));
        }
        if (identity.version) {
            strings = nlohmann::ordered_json::object();
            for (const auto &[key, value] : identity.version->strings)
                strings[key] = value;
        }
        info["icon"] = icon;
        info["file_version"] = identity.version ? nlohmann::json(version_numbers_text(identity.version->file_version))
                                                : nlohmann::json(nullptr);
        info["version_strings"] = strings;
        info["execution_level"] =
            identity.level ? nlohmann::json(execution_level_name(*identity.level)) : nlohmann::json(nullptr);
    }
    // A bundle: its header and its archive, read through as the extractor
    // reads it; which system programs a command may name is test's to judge.
    if (check.problem.empty() && has_bundle_header(file, location)) {
        try {
            BundleContents bundle = verify_bundle(file, name, nullptr, true);
            bool archive = bundle.bundle.command.empty();
            info["bundle_version"] = bundle.header_version;
            info["bundle_kind"] = archive ? "archive" : "command";
            info["codec"] = bundle.codec;
            info["dictionary"] = bundle.dictionary ? nlohmann::json(bundle.dictionary) : nlohmann::json(nullptr);
            info["stored_size"] = bundle.bundle.header.stored_size;
            info["slice_size"] = bundle.bundle.header.slice_size;
            info["command"] = archive ? nlohmann::json(nullptr) : nlohmann::json(bundle.bundle.command);
            info["title"] = bundle.bundle.title;
            info["target"] = bundle.bundle.target.empty() ? nlohmann::json(nullptr) : nlohmann::json(bundle.bundle.target);
            info["wait"] = archive ? nlohmann::json(nullptr)
                                   : nlohmann::json(bundle.bundle.header.flags & BUNDLE_FLAG_WAIT_COMMAND ? "command" : "all");
            info["entries"] = bundle.files + bundle.folders;
            info["unpacked_size"] = bundle.bytes;
        } catch (const PackageError &e) {
            std::string problem = e.what();
            check.problem = problem.starts_with(name + ": ") ? problem.substr(name.size() + 2) : problem;
        }
    }
    info["verified"] = has_record && check.problem.empty();
    if (!check.problem.empty())
        info["problem"] = check.problem;
    return info;
}

std::string text_value(const nlohmann::ordered_json &value) {
    if (value.is_null())
        return "-";
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_boolean())
        return value.get<bool>() ? "yes" : "no";
    if (value.is_array()) { // words: the record's flags, the icon's images
        std::string words;
        for (const auto &word : value)
            words += (words.empty() ? "" : ", ") + word.get<std::string>();
        return words.empty() ? "none" : words;
    }
    if (value.is_object()) { // the version strings
        std::string strings;
        for (const auto &[key, string] : value.items())
            strings += (strings.empty() ? "" : "; ") + key + "=" + string.get<std::string>();
        return strings.empty() ? "none" : strings;
    }
    if (value.is_number_float()) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.4f", value.get<double>());
        return buffer;
    }
    return value.dump();
}

int run_info(const InfoOptions &options) {
    InputFile file(options.file);
    nlohmann::ordered_json info = describe(is_stdio(options.file) ? "<stdin>" : options.file, file);
    if (options.json) {
        nlohmann::ordered_json versioned = {{"format_version", JSON_FORMAT_VERSION}};
        versioned.update(info);
        std::printf("%s\n", versioned.dump(2).c_str());
    } else {
        for (const auto &[key, value] : info.items())
            std::printf("%-18s %s\n", (key + ":").c_str(), text_value(value).c_str());
    }
    if (!info.contains("problem"))
        return EXIT_OK;
    // The report says what is wrong; stderr says that something is, for scripts.
    std::fflush(stdout);
    std::fprintf(stderr, "sfxpack: error: %s: %s\n", info["file"].get<std::string>().c_str(),
                 info["problem"].get<std::string>().c_str());
    return EXIT_BAD_INPUT;
}

} // namespace

Command add_info_command(CLI::App &app, GlobalOptions &) {
    auto options = std::make_shared<InfoOptions>();
    CLI::App *sub = app.add_subcommand("info", "Describe a packed executable (and its bundle) or a bare payload; "
                                                "exits 1 when its payload does not decode cleanly or does not match its package record");
    sub->add_option("FILE", options->file, "Packed executable or bare payload")->required();
    sub->add_flag("--json", options->json, "Print the report as JSON");
    return {sub, [options] { return run_info(*options); }};
}
