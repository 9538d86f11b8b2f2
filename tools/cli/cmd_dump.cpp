// morvik dump: the debug information a camera's tuning build writes into
// its JPEG files, named by the module headers of a folder.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <sstream>

#include "cli.h"
#include "debuginfo/debuginfo.h"
#include "morvik/morvik.h"

namespace morvik::cli {

namespace {

namespace fs = std::filesystem;
namespace di = morvik::debuginfo;

struct DumpOptions {
    std::string photo;
    std::string headers;
    int mode = -1;  // -1: 2 for version-2 files, else 1
    std::string output;
    std::string tables;
    bool json = false;
};

void set_env(const char* name, const std::string* value) {
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value->c_str() : "");
#else
    if (value != nullptr) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
#endif
}

// The library writes "TAG.h" into its host folder and makes that folder the
// current directory: work in a temporary copy of the header folder and put
// the current directory and MORVIK_HOST_DIR back afterwards.
class HostFolder {
public:
    explicit HostFolder(const fs::path& headers)
        : cwd_(fs::current_path()), dir_(unique_path(fs::temp_directory_path(), "morvik-dump-")) {
        std::error_code ec;
        fs::copy(headers, dir_, fs::copy_options::recursive, ec);
        if (ec) {
            fs::remove_all(dir_, ec);
            throw BadInput("--headers " + headers.string() + ": cannot copy the header folder (" + ec.message() + ")");
        }
        if (const char* old = std::getenv("MORVIK_HOST_DIR")) old_ = old;
        const std::string host = dir_.string();
        set_env("MORVIK_HOST_DIR", &host);
    }
    ~HostFolder() {
        std::error_code ec;
        fs::current_path(cwd_, ec);
        fs::remove_all(dir_, ec);
        set_env("MORVIK_HOST_DIR", old_ ? &*old_ : nullptr);
    }
    HostFolder(const HostFolder&) = delete;
    HostFolder& operator=(const HostFolder&) = delete;
    // This run's own folder: its temporary files go here.
    const fs::path& dir() const { return dir_; }

private:
    fs::path cwd_, dir_;
    std::optional<std::string> old_;
};

std::string hex_lines(const uint32_t* words, size_t count) {
    std::string out;
    char line[16];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(line, sizeof line, "0x%08x\n", words[i]);
        out += line;
    }
    return out;
}

std::string section_name(const char* header) {
    std::string name;
    for (const char* c = header; *c != '\0'; ++c) {
        if (*c != '\n' && *c != '[' && *c != ']') name += *c;
    }
    return name;
}

// Sections as JSON from the array dump: rows of name/value, AF rows as
// arrays of pairs, the GGM and PCA tables as hexadecimal words.
nlohmann::json json_dump(int32_t blocks, int32_t mode, int version) {
    std::vector<int32_t> size(DP_SIZE_RECORD_WORDS);
    std::vector<std::array<int32_t, 2>> dim(static_cast<size_t>(blocks));
    std::vector<int32_t*> dims;
    for (auto& d : dim) dims.push_back(d.data());
    if (DP_GET_SIZE(size.data(), dims.data()) != 1) throw Error("size query failed");
    std::vector<std::vector<std::vector<DpDumpRecord>>> store(dim.size());
    std::vector<std::vector<DpDumpRecord*>> columns(dim.size());
    std::vector<DpDumpRecord**> sections(dim.size());
    for (size_t b = 0; b < dim.size(); ++b) {
        store[b].assign(static_cast<size_t>(dim[b][1]) + 2, std::vector<DpDumpRecord>(static_cast<size_t>(dim[b][0])));
        for (auto& c : store[b]) columns[b].push_back(c.data());
        sections[b] = columns[b].data();
    }
    std::array<uint32_t, DP_GGM_WORDS> ggm{};
    std::array<uint32_t, DP_PCA_WORDS> pca{};
    GetGGMTbl(ggm.data());
    GetPCATbl(pca.data());
    if (DP_dumpInfo_array_RC(sections.data()) != 1) throw Error("array dump failed");

    // Names keep the space a header may leave before "="; JSON drops it.
    const auto cell = [](const DpDumpRecord& r) {
        std::string name = r.label;
        name.erase(name.find_last_not_of(' ') + 1);
        name.erase(0, name.find_first_not_of(' '));
        return nlohmann::json{{"name", name}, {"value", r.value}};
    };
    nlohmann::json out = nlohmann::json::array();
    for (const auto& sec : di::sections(mode, version)) {
        nlohmann::json s = {{"name", section_name(sec.header)}};
        if (sec.block < 0) {
            const bool is_ggm = sec.kind == di::SectionKind::GgmTable;
            std::istringstream lines(is_ggm ? hex_lines(ggm.data(), ggm.size()) : hex_lines(pca.data(), pca.size()));
            nlohmann::json values = nlohmann::json::array();
            for (std::string line; std::getline(lines, line);) values.push_back(line);
            s["values"] = values;
        } else {
            nlohmann::json rows = nlohmann::json::array();
            const auto b = static_cast<size_t>(sec.block);
            for (size_t r = 0; b < dim.size() && r < static_cast<size_t>(dim[b][0]); ++r) {
                if (sec.kind == di::SectionKind::NameValue) {
                    rows.push_back(cell(store[b][0][r]));
                    continue;
                }
                nlohmann::json pairs = nlohmann::json::array();
                for (const auto& col : store[b]) {
                    if (col[r].label[0] != '\0') pairs.push_back(cell(col[r]));
                }
                rows.push_back(pairs);
            }
            s["rows"] = rows;
        }
        out.push_back(s);
    }
    return out;
}

struct DumpResult {
    std::string file;  // the photo as named on the command line
    std::string text;  // the text dump (empty when written to a file or as JSON)
    nlohmann::json json;
    bool as_json = false;
    std::string output;  // the text dump's file, when one was written
    int32_t blocks = 0;
    int version = 0;
    int32_t mode = 0;
};

DumpResult run_dump(const DumpOptions& opt) {
    const fs::path photo = fs::absolute(opt.photo);
    const fs::path headers = fs::absolute(opt.headers);
    // Before the library moves the current directory to its host folder.
    const fs::path output = opt.output.empty() ? fs::path() : fs::absolute(opt.output);
    if (!fs::is_directory(headers)) throw BadInput("--headers " + opt.headers + ": folder not found");
    auto bytes = read_file(photo);
    if (bytes.size() > di::kMaxFileBytes) bytes.resize(di::kMaxFileBytes);
    di::Reader in(bytes);
    if (!di::main_tag_candidate(in)) throw BadInput(opt.photo + ": no debug-information segments");
    DumpResult res;
    res.file = opt.photo;
    res.as_json = opt.json;
    res.version = di::detect_version(in);
    res.mode = opt.mode >= 0 ? opt.mode : (res.version == 2 ? 2 : 1);
    bool any_header = false;
    for (const auto& m : di::modules(res.version)) {
        std::string folder = m.folder;
        for (auto& c : folder) c = c == '\\' ? '/' : c;
        any_header = any_header || fs::exists(headers / folder / m.fallback);
    }
    if (!any_header) {
        std::string first = di::modules(res.version)[0].folder;
        for (auto& c : first) c = c == '\\' ? '/' : c;
        throw BadInput("--headers " + opt.headers + ": no module headers of version " + std::to_string(res.version) +
                       " (expected e.g. " + (headers / first / di::modules(res.version)[0].fallback).string() + ")");
    }
    if (opt.json && !opt.output.empty()) throw BadInput("--output writes the text dump; it cannot be combined with --json");
    const fs::path tables = opt.tables.empty() ? fs::path() : fs::absolute(opt.tables);
    if (!tables.empty() && fs::exists(tables) && !fs::is_directory(tables)) {
        throw BadInput("--tables " + opt.tables + ": exists and is not a folder");
    }

    // Everything is computed inside this run's own folder; the outputs are
    // renamed into place only when all of them are written.
    HostFolder host(headers);
    Outputs outputs({photo});
    if (DP_getInfo(photo.string().c_str(), res.mode, &res.blocks) != 1) {
        throw BadInput(opt.photo + ": debug information could not be read in mode " + std::to_string(res.mode) + " (" +
                       morvik_last_error() + ")");
    }
    std::vector<std::pair<const char*, std::string>> table_files;
    if (!tables.empty()) {
        std::vector<uint32_t> awb(DP_AWB_INFO_WORDS), ggm(DP_GGM_WORDS), pca(DP_PCA_WORDS);
        DP_GetAWBinfo(awb.data());
        GetGGMTbl(ggm.data());
        GetPCATbl(pca.data());
        for (auto [name, words] : {std::pair{"awb_debug.txt", &awb}, {"ggm.txt", &ggm}, {"pca.txt", &pca}}) {
            table_files.emplace_back(name, hex_lines(words->data(), words->size()));
        }
    }
    if (opt.json) {
        res.json = json_dump(res.blocks, res.mode, res.version);
    } else {
        const fs::path target = host.dir() / "dump.txt";
        std::vector<int32_t> size(DP_SIZE_RECORD_WORDS);
        if (DP_dumpInfo_File(target.string().c_str(), size.data()) != 1) {
            throw Error("text dump failed: " + std::string(morvik_last_error()));
        }
        res.text = read_text_file(target);
    }
    if (!tables.empty()) {
        outputs.make_folder(tables);
        for (const auto& [name, text] : table_files) outputs.write(tables / name, "--tables", text.data(), text.size());
    }
    if (!opt.output.empty()) {
        outputs.write(output, "--output", res.text.data(), res.text.size());
        res.output = opt.output;
        res.text.clear();
    }
    outputs.commit();
    return res;
}

nlohmann::json to_json(const DumpResult& r) {
    return {{"file", r.file}, {"version", r.version}, {"mode", r.mode}, {"blocks", r.blocks}, {"sections", r.json}};
}

void print_text(const DumpResult& r) {
    if (r.output.empty()) {
        std::cout << r.text;
    } else {
        std::cout << "wrote " << r.output << " (" << r.blocks << " blocks, version " << r.version << ")\n";
    }
}

const bool registered = register_command(90, [](CLI::App& app) {
    auto opt = std::make_shared<DumpOptions>();
    auto* cmd = app.add_subcommand("dump", "Dump the debug information of a camera JPEG, named by module headers");
    cmd->add_option("JPEG", opt->photo, "JPEG file written by a camera's tuning build")->required();
    cmd->add_option("--headers", opt->headers,
                    "folder of module headers (AAA/AE/AE.h, ...); read only, \"TAG.h\" is assembled in a copy")
        ->required();
    cmd->add_option("--mode", opt->mode, "2: eleven-block layout; other: older layout (default: by file version)");
    cmd->add_option("-o,--output", opt->output, "write the text dump to this file instead of stdout (not with --json)");
    cmd->add_flag("--json", opt->json, "print the sections as JSON");
    cmd->add_option("--tables", opt->tables, "write awb_debug.txt, ggm.txt and pca.txt into this folder");
    cmd->callback([opt] { emit(run_dump(*opt), opt->json); });
});

const bool demo_registered = register_demo_step(90, "Debug-information dump", [] {
    const fs::path dir = fs::path(MORVIK_SOURCE_DIR) / "examples" / "debuginfo";
    DumpOptions opt;
    opt.photo = (dir / "example.jpg").string();
    opt.headers = (dir / "headers").string();
    const DumpResult res = run_dump(opt);
    std::cout << "example.jpg: version " << res.version << ", " << res.blocks << " blocks\n";
    std::istringstream lines(res.text);
    int table_words = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("0x", 0) == 0) {  // GGM and PCA words
            ++table_words;
            continue;
        }
        std::cout << line << '\n';
    }
    std::cout << "(" << table_words << " GGM and PCA table words not shown)\n";
});

}  // namespace

}  // namespace morvik::cli
