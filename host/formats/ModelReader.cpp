#include "formats/ModelReader.hpp"

#include "formats/DrnReader.hpp"
#include "formats/TraReader.hpp"
#include "formats/UmbReader.hpp"
#include "support/Text.hpp"

#include <sys/stat.h>

namespace iicheck {

void CheckChoices(Model& model, double tolerance, const ChoiceLocator& locate) {
    const std::string note = DeviationNote(CheckStochastic(model.Mdp, tolerance, locate), tolerance, locate);
    if (!note.empty()) model.Notes.push_back(note);
}

const char* FormatName(ModelFormat format) {
    switch (format) {
        case ModelFormat::Tra: return "tra";
        case ModelFormat::Drn: return "drn";
        case ModelFormat::Umb: return "umb";
    }
    return "?";
}

std::optional<ModelFormat> ParseFormatName(std::string_view name) {
    for (const ModelFormat format : {ModelFormat::Tra, ModelFormat::Drn, ModelFormat::Umb}) {
        if (name == FormatName(format)) return format;
    }
    return std::nullopt;
}

namespace {

bool Exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

struct Extension {
    const char* Text;
    ModelFormat Format;
};

// In the order in which a name without extension looks for them.
constexpr Extension kExtensions[] = {
    {".tra", ModelFormat::Tra},     {".drn", ModelFormat::Drn},     {".umb", ModelFormat::Umb},
    {".umb.gz", ModelFormat::Umb},  {".umb.xz", ModelFormat::Umb},
};

const Extension* ExtensionOf(const std::string& path) {
    for (const Extension& extension : kExtensions) {
        if (EndsWith(path, extension.Text)) return &extension;
    }
    return nullptr;
}

// stem with the first extension (of format, when given) whose file exists;
// "" when none does.
std::string FirstExisting(const std::string& stem, std::optional<ModelFormat> format) {
    for (const Extension& extension : kExtensions) {
        if (format && extension.Format != *format) continue;
        if (Exists(stem + extension.Text)) return stem + extension.Text;
    }
    return "";
}

const char* FirstExtension(std::optional<ModelFormat> format) {
    for (const Extension& extension : kExtensions) {
        if (!format || extension.Format == *format) return extension.Text;
    }
    return ".tra";
}

}  // namespace

ModelFiles ResolveModelFiles(const std::vector<std::string>& files, std::optional<ModelFormat> format,
                             const std::vector<std::string>& rewardFiles) {
    ModelFiles resolved;
    std::string path = files.at(0);
    if (IsDirectory(path)) {
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        const std::size_t slash = path.find_last_of('/');
        const std::string stem = path + "/" + (slash == std::string::npos ? path : path.substr(slash + 1));
        path = FirstExisting(stem, format);
        if (path.empty()) path = stem + FirstExtension(format);
    } else if (ExtensionOf(path) == nullptr && !Exists(path)) {
        const std::string found = FirstExisting(path, format);
        if (!found.empty()) path = found;
    }
    const Extension* extension = ExtensionOf(path);
    resolved.Format = format ? *format : extension != nullptr ? extension->Format : ModelFormat::Tra;
    resolved.Model = path;
    if (resolved.Format == ModelFormat::Tra) {
        resolved.Labels = files.size() == 2       ? files[1]
                          : EndsWith(path, ".tra") ? path.substr(0, path.size() - 4) + ".lab"
                                                   : path + ".lab";
        const std::string stem = EndsWith(path, ".tra") ? path.substr(0, path.size() - 4) : path;
        for (const char* extension : {".srew", ".trew"}) {
            if (rewardFiles.empty() && Exists(stem + extension)) resolved.Rewards.push_back(stem + extension);
        }
        for (const std::string& file : rewardFiles) {
            if (!EndsWith(file, ".srew") && !EndsWith(file, ".trew")) {
                throw InputError(Printable(file) + ": a reward file is named NAME.srew (state rewards) or "
                                 "NAME.trew (transition rewards)");
            }
            resolved.Rewards.push_back(file);
        }
    } else if (files.size() == 2) {
        throw InputError(Printable(files[1]) + ": a " + FormatName(resolved.Format) +
                         " model is one file; only a .tra file comes with a second one, its .lab");
    } else if (!rewardFiles.empty()) {
        throw InputError(Printable(rewardFiles[0]) + ": reward files go with a .tra; a " +
                         FormatName(resolved.Format) + " model holds its own rewards");
    }
    return resolved;
}

Model ReadModel(const ModelFiles& files, double tolerance) {
    if (files.Format == ModelFormat::Tra) return ReadTra(files.Model, files.Labels, tolerance, files.Rewards);
    if (files.Format == ModelFormat::Umb) return ReadUmb(files.Model, tolerance);
    return ReadDrn(files.Model, tolerance);
}

}  // namespace iicheck
