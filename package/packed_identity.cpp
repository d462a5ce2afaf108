#include "package/packed_identity.h"

#include <algorithm>
#include <strings.h>

#include "include/sfx_package.h"
#include "package/input_file.h"
#include "package/package_error.h"
#include "pe/pe_image.h"

namespace {

// Enough of a file for any usual headers and section table.
constexpr size_t HEADERS_READ = 1 << 16;

ProgramIdentity identity_of(std::span<const uint8_t> headers, uint64_t size, const ReadAt &read) {
    std::string why;
    if (!parse_pe_image(headers, &why))
        return {}; // not a program: nothing to take, and pack says so itself
    return read_identity(headers, size, read);
}

bool same_name(const std::string &a, const std::string &b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// The program's version information with the options' strings and numbers
// over it; nullopt when neither has any.
std::optional<VersionInfo> chosen_version(const IdentityOptions &options, const ProgramIdentity &program) {
    if (options.strings.empty() && !options.file_version)
        return program.version;
    VersionInfo info = program.version.value_or(VersionInfo{});
    auto set = [&](const std::string &name, const std::string &value) {
        auto found = std::find_if(info.strings.begin(), info.strings.end(),
                                  [&](const auto &string) { return same_name(string.first, name); });
        if (found == info.strings.end())
            info.strings.push_back({name, value});
        else
            found->second = value;
    };
    std::optional<VersionNumbers> file = options.file_version, product;
    for (const auto &[name, value] : options.strings) {
        set(name, value);
        if (same_name(name, "FileVersion") && !file)
            file = parse_version_numbers(value);
        if (same_name(name, "ProductVersion"))
            product = parse_version_numbers(value);
    }
    if (options.file_version && std::none_of(options.strings.begin(), options.strings.end(),
                                             [](const auto &string) { return same_name(string.first, "FileVersion"); }))
        set("FileVersion", version_numbers_text(*options.file_version));
    if (file)
        info.file_version = *file;
    if (product)
        info.product_version = *product;
    else if (file && !program.version)
        info.product_version = *file;
    return info;
}

std::string fit_problem(const ImageRewrite &rewrite) {
    return "the packed file's resources would take " + std::to_string(rewrite.asked) + " bytes; the loader has room for " +
           std::to_string(rewrite.room) + " before byte " + std::to_string(SFX_RECORD_OFFSET);
}

} // namespace

ProgramIdentity program_identity_of(const std::string &path) {
    InputFile file(path);
    std::vector<uint8_t> headers = file.read_at(0, HEADERS_READ);
    return identity_of(headers, file.size(), [&](uint64_t offset, uint8_t *to, size_t size) {
        return file.read_at(offset, to, size);
    });
}

ProgramIdentity program_identity_of(std::span<const uint8_t> program) {
    return identity_of(program, program.size(), read_from(program));
}

ProgramIdentity packed_identity(std::span<const uint8_t> head) {
    return identity_of(head, head.size(), read_from(head));
}

std::vector<uint8_t> loader_with_identity(std::span<const uint8_t> loader, const std::string &loader_name,
                                          const IdentityOptions &options, const ProgramIdentity &program,
                                          const std::string &program_name, const Warn &warn) {
    for (const std::string &warning : program.warnings)
        warn(program_name + ": " + warning);
    ResourceListing listing = list_resources(loader, loader.size(), read_from(loader));
    if (!listing.problem.empty() || !listing.warnings.empty())
        throw PackageError(loader_name + ": " + (listing.problem.empty() ? listing.warnings[0] : listing.problem));

    // The loader's own resources, less those the packed file gets anew.
    std::vector<Resource> kept;
    ResourceId group = resource_number(1);
    uint16_t group_language = 0;
    bool has_group = false;
    for (const ResourceEntry &entry : listing.entries) {
        std::string why;
        std::vector<uint8_t> data = read_resource(entry, read_from(loader), (uint32_t)loader.size(), &why);
        bool numbered = entry.type.text.empty();
        if (numbered && entry.type.id == RESOURCE_GROUP_ICON && !has_group)
            group = entry.name, group_language = entry.language, has_group = true;
        if (!numbered || (entry.type.id != RESOURCE_VERSION && entry.type.id != RESOURCE_MANIFEST))
            kept.push_back({entry.type, entry.name, entry.language, std::move(data)});
    }

    std::optional<Icon> icon;
    bool icon_given = !options.icon.empty();
    if (icon_given) {
        std::string why;
        std::vector<uint8_t> file = read_whole_file(options.icon);
        if (!(icon = parse_ico(file, &why)))
            throw PackageError(options.icon + ": " + why);
    } else {
        icon = program.icon;
    }
    std::vector<Resource> resources;
    std::optional<VersionInfo> version = chosen_version(options, program);
    ExecutionLevel level = options.level.value_or(program.level.value_or(ExecutionLevel::as_invoker));
    std::string manifest = make_manifest(level);
    std::string dropped;
    for (;;) {
        resources.clear();
        for (const Resource &resource : kept)
            if (!icon || !resource.type.text.empty() ||
                (resource.type.id != RESOURCE_ICON && resource.type.id != RESOURCE_GROUP_ICON))
                resources.push_back(resource);
        if (icon)
            for (Resource &resource : icon_resources(*icon, group, group_language))
                resources.push_back(std::move(resource));
        if (version)
            resources.push_back(
                {resource_number(RESOURCE_VERSION), resource_number(1), version->language, build_version_info(*version)});
        resources.push_back({resource_number(RESOURCE_MANIFEST), resource_number(1), 0, {manifest.begin(), manifest.end()}});
        ImageRewrite rewrite = rewrite_resources(loader, resources, SFX_RECORD_OFFSET);
        if (rewrite.problem.empty()) {
            if (!dropped.empty())
                warn(program_name + ": its icon's largest images do not fit the loader; left out: " + dropped);
            return rewrite.image;
        }
        if (rewrite.asked == 0)
            throw PackageError(loader_name + ": " + rewrite.problem);
        if (icon_given)
            throw PackageError(options.icon + ": " + fit_problem(rewrite));
        if (!icon && version && !program.version) // the options' version information beside the loader's icon
            throw PackageError(loader_name + ": " + fit_problem(rewrite) + "; an icon of fewer images (--icon) makes room");
        if (!icon && version) {
            warn(program_name + ": its version information does not fit the loader; left out");
            version.reset();
            continue;
        }
        if (!icon)
            throw PackageError(loader_name + ": " + fit_problem(rewrite));
        // The program's icon without its largest image; the loader's once none is left.
        auto largest = std::max_element(icon->begin(), icon->end(), [](const IconImage &a, const IconImage &b) {
            return a.data.size() < b.data.size();
        });
        dropped += (dropped.empty() ? "" : ", ") + icon_image_text(*largest);
        icon->erase(largest);
        if (icon->empty()) {
            warn(program_name + ": its icon does not fit the loader; the loader's is used");
            icon.reset();
            dropped.clear();
        }
    }
}
