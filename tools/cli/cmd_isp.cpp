// `morvik isp show|set`: KT2 register blocks as levels and sliders, and the
// register step of `morvik demo`. Blocks are text files (one 32-bit word per
// line, `#` comments) or JSON arrays; the kinds and their fields come from
// the library's block tables.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "isp_levels/fields.h"
#include "isp_levels/levels.h"

namespace morvik::cli {

namespace {

namespace lv = morvik::isp_levels;
using Words = std::vector<std::uint32_t>;
using Values = std::vector<std::int32_t>;

// ------------------------------------------------------------ kinds

// One level or slider group of a block: how to read it, write it, and which
// table fields it stands for.
struct Reading {
    std::string name;
    std::vector<std::string> values;  // value names, also the NAME of `set`
    std::vector<std::string> extras;  // set-only parameters, default 0
    std::string flag;                 // "modified", "changed" or "" (no flag)
    std::function<std::pair<Values, bool>(lv::ConstBlock)> read;
    std::function<lv::Outcome(lv::Block, const Values& values, const Values& extras)> write;
    // What the GET compares against, for listing the edited fields.
    std::function<void(lv::Block, const Values&)> reference;
    std::vector<lv::NamedField> fields;
};

struct Kind {
    std::string name;
    std::size_t words;
    std::vector<Reading> readings;
};

lv::Outcome done() { return lv::Outcome::ok; }

template <class Table, class Ids>
std::vector<lv::NamedField> pick(const Table& table, const Ids& ids) {
    std::vector<lv::NamedField> out;
    for (auto id : ids) out.push_back(table[id]);
    return out;
}

template <class Table>
std::vector<lv::NamedField> all(const Table& table) {
    return {std::begin(table), std::end(table)};
}

// A reading of one level with a flag, whose reference is its own SET.
Reading level_reading(std::string name, std::function<lv::Level(lv::ConstBlock)> get,
                      std::function<void(lv::Block, std::int32_t)> set, std::vector<lv::NamedField> fields,
                      std::string flag = "changed") {
    Reading r;
    r.name = name;
    r.values = {name};
    r.flag = std::move(flag);
    r.read = [get](lv::ConstBlock b) {
        const lv::Level l = get(b);
        return std::pair{Values{l.level}, l.changed};
    };
    r.write = [set](lv::Block b, const Values& v, const Values&) {
        set(b, v[0]);
        return done();
    };
    r.reference = [set](lv::Block b, const Values& v) { set(b, v[0]); };
    r.fields = std::move(fields);
    return r;
}

std::vector<lv::NamedField> noise_fields(lv::nr3d::Channel c) {
    std::vector<lv::NamedField> out;
    for (int i = 0; i < lv::nr3d::kNoiseFields; ++i) out.push_back({lv::nr3d::kNoiseNames[i], lv::nr3d::noise_field(c, i)});
    return out;
}

std::vector<Kind> kinds() {
    std::vector<Kind> out;

    Reading dm;
    dm.name = "sliders";
    dm.values = {"slider1", "slider2"};
    dm.flag = "modified";
    dm.read = [](lv::ConstBlock b) {
        const lv::DmSliders s = lv::dm_get(b);
        return std::pair{Values{s.slider1, s.slider2}, s.modified};
    };
    dm.write = [](lv::Block b, const Values& v, const Values&) { return lv::dm_set(b, v[0], v[1]); };
    dm.reference = [](lv::Block b, const Values& v) { lv::dm_set(b, v[0], v[1]); };
    dm.fields = all(lv::dm::kFields);
    out.push_back({"dm", lv::dm::kWords, {dm}});

    Reading ee;
    ee.name = "sliders";
    ee.values = {"slider1", "slider2", "slider3"};
    ee.flag = "modified";
    ee.read = [](lv::ConstBlock b) {
        const lv::EeSliders s = lv::ee_get(b);
        return std::pair{Values{s.slider1, s.slider2, s.slider3}, s.modified};
    };
    ee.write = [](lv::Block b, const Values& v, const Values&) {
        lv::ee_set(b, v[0], v[1], v[2]);
        return done();
    };
    ee.reference = [](lv::Block b, const Values& v) { lv::ee_set(b, v[0], v[1], v[2]); };
    ee.fields = all(lv::ee::kFields);
    out.push_back({"ee", lv::ee::kWords, {ee}});

    Kind nr3d{"nr3d", lv::nr3d::kWords, {}};
    nr3d.readings.push_back(level_reading("strength", lv::nr3d_strength, lv::nr3d_set_strength,
                                          {{"strength", lv::nr3d::kStrength}}));
    const char* channel_names[3] = {"ynoise", "unoise", "vnoise"};
    for (int c = 0; c < 3; ++c) {
        const auto ch = lv::nr3d::Channel(c);
        nr3d.readings.push_back(level_reading(
            channel_names[c], [ch](lv::ConstBlock b) { return lv::nr3d_noise(b, ch); },
            [ch](lv::Block b, std::int32_t l) { lv::nr3d_set_noise(b, ch, l); }, noise_fields(ch)));
    }
    out.push_back(std::move(nr3d));

    // The two multi-frame words side by side: mixer, then threshold.
    auto in_word = [](lv::Field f, std::uint16_t w) {
        f.word = w;
        return f;
    };
    Kind mfll{"mfll", 2, {}};
    auto word = [](lv::ConstBlock b, std::size_t i) { return b.subspan(i, 1); };
    auto mword = [](lv::Block b, std::size_t i) { return b.subspan(i, 1); };
    mfll.readings.push_back(level_reading(
        "mixer", [word](lv::ConstBlock b) { return lv::mfll_mixer(word(b, 0)); },
        [mword](lv::Block b, std::int32_t l) { lv::mfll_set_mixer(mword(b, 0), l); }, {{"mixer", lv::mfll::kMixer}}));
    mfll.readings.push_back(level_reading(
        "threshold", [word](lv::ConstBlock b) { return lv::mfll_threshold(word(b, 1)); },
        [mword](lv::Block b, std::int32_t l) { lv::mfll_set_threshold(mword(b, 1), l); },
        {{"threshold", in_word(lv::mfll::kThreshold, 1)}, {"step", in_word(lv::mfll::kStep, 1)}}));
    out.push_back(std::move(mfll));

    using namespace lv::anr;
    Kind anr{"anr", kWords, {}};
    anr.readings.push_back(level_reading("ystrength", lv::anr_y_strength, lv::anr_set_y_strength,
                                         pick(kFields, std::vector{y_strength, y_companion})));
    anr.readings.push_back(level_reading("cstrength", lv::anr_c_strength, lv::anr_set_c_strength,
                                         pick(kFields, std::vector{c_low, c_strength, c_mid, c_companion})));
    Reading ynoise;
    ynoise.name = "ynoise";
    ynoise.values = {"ynoise"};
    ynoise.extras = {"companion"};
    ynoise.flag = "changed";
    ynoise.read = [](lv::ConstBlock b) {
        const lv::Level l = lv::anr_y_noise(b);
        return std::pair{Values{l.level}, l.changed};
    };
    ynoise.write = [](lv::Block b, const Values& v, const Values& x) { return lv::anr_set_y_noise(b, v[0], x[0]); };
    ynoise.reference = [](lv::Block b, const Values& v) {
        lv::put(b, kFields[extended].field, 0);
        lv::anr_set_y_noise(b, v[0], 0);
    };
    ynoise.fields = pick(kFields, kLumaCompared);
    anr.readings.push_back(ynoise);
    Reading cnoise;
    cnoise.name = "cnoise";
    cnoise.values = {"cnoise"};
    cnoise.flag = "changed";
    cnoise.read = [](lv::ConstBlock b) {
        const lv::Level l = lv::anr_c_noise(b);
        return std::pair{Values{l.level}, l.changed};
    };
    cnoise.write = [](lv::Block b, const Values& v, const Values&) { return lv::anr_set_c_noise(b, v[0]); };
    cnoise.reference = [](lv::Block b, const Values& v) {
        lv::put(b, kFields[extended].field, 0);
        lv::anr_set_c_noise(b, v[0]);
    };
    cnoise.fields = pick(kFields, kChromaCompared);
    anr.readings.push_back(cnoise);
    out.push_back(std::move(anr));

    Kind ccr{"ccr", lv::ccr::kWords, {}};
    ccr.readings.push_back(level_reading("level", lv::ccr_get, lv::ccr_set, all(lv::ccr::kFields)));
    out.push_back(std::move(ccr));

    Kind sat{"sat", lv::sat::kWords, {}};
    for (int t = 0; t < lv::sat::kTables; ++t) {
        Reading r;
        r.name = "sat" + std::to_string(t);
        r.values = {r.name};
        r.read = [t](lv::ConstBlock b) { return std::pair{Values{lv::sat_get(b, t)}, false}; };
        r.write = [t](lv::Block b, const Values& v, const Values&) { return lv::sat_set(b, v[0], t); };
        sat.readings.push_back(r);
    }
    out.push_back(std::move(sat));
    return out;
}

Kind find_kind(const std::string& name) {
    for (auto& k : kinds())
        if (k.name == name) return k;
    throw BadInput("--kind: unknown kind '" + name + "' (dm, ee, nr3d, mfll, anr, ccr or sat)");
}

// ------------------------------------------------------------ block files

// A block as read: its words, and enough of the file to write it back with
// its comments and layout.
struct BlockFile {
    bool json = false;
    std::vector<std::string> lines;    // text: every line
    std::vector<std::size_t> line_of;  // text: line index of each word
    std::vector<bool> as_string;       // json: element written as a hex string
    Words words;
};

std::string hex(std::uint32_t w) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", w);
    return buf;
}

bool parse_word(std::string token, std::uint32_t& out) {
    while (!token.empty() && (token.back() == ' ' || token.back() == '\t' || token.back() == '\r')) token.pop_back();
    const auto first = token.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    token.erase(0, first);
    if (token[0] == '-' || token[0] == '+') return false;
    try {
        std::size_t used = 0;
        const unsigned long long v = std::stoull(token, &used, 0);
        if (used != token.size() || v > 0xFFFFFFFFull) return false;
        out = static_cast<std::uint32_t>(v);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

BlockFile read_block(const std::filesystem::path& path) {
    const std::string text = read_text_file(path);
    BlockFile f;
    if (looks_like_json(path, text)) {
        f.json = true;
        nlohmann::json doc;
        try {
            doc = nlohmann::json::parse(text);
        } catch (const nlohmann::json::exception& e) {
            throw BadInput(path.string() + ": not valid JSON: " + e.what());
        }
        if (!doc.is_array()) throw BadInput(path.string() + ": expected a JSON array of 32-bit words");
        for (std::size_t i = 0; i < doc.size(); ++i) {
            const auto& v = doc[i];
            std::uint32_t w = 0;
            bool ok = false;
            if (v.is_number_unsigned()) {
                ok = v.get<std::uint64_t>() <= 0xFFFFFFFFull;
                w = static_cast<std::uint32_t>(v.get<std::uint64_t>());
            } else if (v.is_string()) {
                ok = parse_word(v.get<std::string>(), w);
            }
            if (!ok)
                throw BadInput(path.string() + ": element " + std::to_string(i) + ": " + v.dump() +
                               " is not a 32-bit word (0 to 0xFFFFFFFF, a number or a \"0x...\" string)");
            f.words.push_back(w);
            f.as_string.push_back(v.is_string());
        }
        return f;
    }
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        f.lines.push_back(line);
        std::string body = line.substr(0, line.find('#'));
        if (body.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::uint32_t w = 0;
        if (!parse_word(body, w))
            throw BadInput(path.string() + ":" + std::to_string(f.lines.size()) + ": \"" + body +
                           "\" is not one 32-bit word (0x%08X or decimal, one per line)");
        f.words.push_back(w);
        f.line_of.push_back(f.lines.size() - 1);
    }
    return f;
}

std::string render_block(const BlockFile& f, const Words& words) {
    if (f.json) {
        nlohmann::json doc = nlohmann::json::array();
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (f.as_string[i]) {
                doc.push_back(hex(words[i]));
            } else {
                doc.push_back(words[i]);
            }
        }
        return doc.dump(1) + "\n";
    }
    std::vector<std::string> lines = f.lines;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] == f.words[i]) continue;
        // The word token of its line, leading blanks and any comment kept.
        std::string& line = lines[f.line_of[i]];
        const std::size_t hash = std::min(line.find('#'), line.size());
        const std::size_t start = line.find_first_not_of(" \t");
        std::size_t end = line.find_first_of(" \t\r#", start);
        if (end == std::string::npos || end > hash) end = hash;
        line.replace(start, end - start, hex(words[i]));
    }
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

// ------------------------------------------------------------ reports

struct ReadingReport {
    std::string name;
    std::vector<std::pair<std::string, std::int32_t>> values;
    std::string flag;
    bool raised = false;
    std::vector<std::string> edited;  // fields that differ from the values' own SET
};

struct ShowReport {
    std::string kind;
    std::size_t words = 0;
    std::vector<ReadingReport> readings;
};

std::vector<std::string> edited_fields(const Reading& r, const Words& block, const Values& values) {
    std::vector<std::string> out;
    if (!r.reference) return out;
    Words ref = block;
    r.reference(ref, values);
    for (const auto& nf : r.fields)
        for (unsigned c = 0; c < nf.field.copies; ++c)
            if (lv::get(ref, nf.field, c) != lv::get(block, nf.field, c))
                out.push_back(nf.field.copies > 1 ? std::string(nf.name) + "[" + std::to_string(c) + "]" : nf.name);
    return out;
}

ShowReport show(const Kind& kind, const Words& block) {
    ShowReport rep{kind.name, block.size(), {}};
    for (const auto& r : kind.readings) {
        const auto [values, flagged] = r.read(block);
        ReadingReport rr{r.name, {}, r.flag, flagged, {}};
        for (std::size_t i = 0; i < values.size(); ++i) rr.values.emplace_back(r.values[i], values[i]);
        if (flagged) rr.edited = edited_fields(r, block, values);
        rep.readings.push_back(std::move(rr));
    }
    return rep;
}

nlohmann::json to_json(const ShowReport& rep) {
    nlohmann::json j{{"kind", rep.kind}, {"words", rep.words}, {"readings", nlohmann::json::array()}};
    for (const auto& r : rep.readings) {
        nlohmann::json jr{{"name", r.name}};
        for (const auto& [name, v] : r.values) jr["values"][name] = v;
        if (!r.flag.empty()) {
            jr[r.flag] = r.raised;
            jr["edited_fields"] = r.edited;
        }
        j["readings"].push_back(jr);
    }
    return j;
}

void print_text(const ShowReport& rep) {
    std::printf("%s block, %zu words\n", rep.kind.c_str(), rep.words);
    for (const auto& r : rep.readings) {
        std::string values;
        for (const auto& [name, v] : r.values) values += (values.empty() ? "" : ", ") + name + " " + std::to_string(v);
        std::string flag;
        if (!r.flag.empty()) {
            flag = r.raised ? r.flag : "exact";
            if (!r.edited.empty()) {
                flag += " (edited:";
                for (const auto& e : r.edited) flag += " " + e;
                flag += ")";
            }
        }
        std::printf("  %-10s %-34s %s\n", r.name.c_str(), values.c_str(), flag.c_str());
    }
}

// ------------------------------------------------------------ commands

struct ShowOptions {
    std::string block;
    std::string kind;
    bool json = false;
};

Words checked_words(const BlockFile& f, const Kind& kind, const std::string& path) {
    if (f.words.size() < kind.words)
        throw BadInput(path + ": " + std::to_string(f.words.size()) + " words, kind " + kind.name + " needs at least " +
                       std::to_string(kind.words));
    return f.words;
}

void run_show(const ShowOptions& o) {
    const Kind kind = find_kind(o.kind);
    const BlockFile f = read_block(o.block);
    const ShowReport rep = show(kind, checked_words(f, kind, o.block));
    if (o.json) {
        print_json(to_json(rep));
    } else {
        print_text(rep);
    }
}

struct SetOptions {
    std::string block;
    std::string kind;
    std::vector<std::string> assignments;
    std::string output;
    bool dry_run = false;
    bool json = false;
};

struct Change {
    std::size_t word;
    std::uint32_t before, after;
};

struct SetReport {
    std::vector<Change> changes;
    std::string written;  // empty on a dry run
    ShowReport after;
};

std::int32_t parse_value(const std::string& assignment, const std::string& text) {
    try {
        std::size_t used = 0;
        const long long v = std::stoll(text, &used, 0);
        if (used == text.size() && v >= -2147483648LL && v <= 0xFFFFFFFFLL) return static_cast<std::int32_t>(v);
    } catch (const std::exception&) {
    }
    throw BadInput("'" + assignment + "': the value must be a 32-bit integer (decimal or 0x hexadecimal)");
}

SetReport apply(const Kind& kind, Words& block, const std::vector<std::string>& assignments) {
    // Group the assignments by reading, in the order the readings are first named.
    struct Pending {
        const Reading* reading;
        std::map<std::string, std::int32_t> given;
        std::string first;
    };
    std::vector<Pending> pending;
    std::map<std::string, bool> seen;
    for (const auto& a : assignments) {
        const auto eq = a.find('=');
        if (eq == std::string::npos || eq == 0) throw BadInput("'" + a + "': expected NAME=VALUE");
        const std::string name = a.substr(0, eq);
        if (seen[name]) throw BadInput("'" + a + "': " + name + " is given twice");
        seen[name] = true;
        const Reading* owner = nullptr;
        for (const auto& r : kind.readings) {
            for (const auto& v : r.values) owner = v == name ? &r : owner;
            for (const auto& v : r.extras) owner = v == name ? &r : owner;
        }
        if (owner == nullptr) {
            std::string names;
            for (const auto& r : kind.readings)
                for (const auto& v : r.values) names += (names.empty() ? "" : ", ") + v;
            for (const auto& r : kind.readings)
                for (const auto& v : r.extras) names += ", " + v;
            throw BadInput("'" + a + "': kind " + kind.name + " has no level " + name + " (" + names + ")");
        }
        auto it = std::find_if(pending.begin(), pending.end(), [&](const Pending& p) { return p.reading == owner; });
        if (it == pending.end()) {
            pending.push_back({owner, {}, a});
            it = pending.end() - 1;
        }
        it->given[name] = parse_value(a, a.substr(eq + 1));
    }

    const Words before = block;
    for (const auto& p : pending) {
        const Reading& r = *p.reading;
        bool any_value = false;
        for (const auto& v : r.values) any_value = any_value || p.given.count(v) != 0;
        if (!any_value) throw BadInput("'" + p.first + "': set " + r.values[0] + " with it");
        // Values not given keep what the block reads as now.
        Values values = r.read(block).first;
        for (std::size_t i = 0; i < r.values.size(); ++i)
            if (auto g = p.given.find(r.values[i]); g != p.given.end()) values[i] = g->second;
        Values extras(r.extras.size(), 0);
        for (std::size_t i = 0; i < r.extras.size(); ++i)
            if (auto g = p.given.find(r.extras[i]); g != p.given.end()) extras[i] = g->second;
        const lv::Outcome outcome = r.write(block, values, extras);
        if (outcome != lv::Outcome::ok) throw BadInput("'" + p.first + "': " + lv::describe(outcome));
    }
    SetReport rep;
    for (std::size_t i = 0; i < block.size(); ++i)
        if (block[i] != before[i]) rep.changes.push_back({i, before[i], block[i]});
    return rep;
}

void run_set(const SetOptions& o) {
    const Kind kind = find_kind(o.kind);
    const BlockFile f = read_block(o.block);
    Words block = checked_words(f, kind, o.block);
    SetReport rep = apply(kind, block, o.assignments);
    rep.after = show(kind, block);
    if (!o.dry_run) {
        rep.written = o.output.empty() ? o.block : o.output;
        // Replacing BLOCK in place is the default, so the block is not an input
        // the outputs must avoid.
        Outputs outputs;
        const std::string text = render_block(f, block);
        outputs.write(rep.written, "--output", text.data(), text.size());
        outputs.commit();
    }
    if (o.json) {
        nlohmann::json j{{"kind", kind.name}, {"changes", nlohmann::json::array()}};
        for (const auto& c : rep.changes)
            j["changes"].push_back({{"word", c.word}, {"old", hex(c.before)}, {"new", hex(c.after)}});
        j["written"] = rep.written.empty() ? nlohmann::json() : nlohmann::json(rep.written);
        j["after"] = to_json(rep.after);
        print_json(j);
        return;
    }
    for (const auto& c : rep.changes)
        std::printf("word %3zu: %s -> %s\n", c.word, hex(c.before).c_str(), hex(c.after).c_str());
    if (rep.changes.empty()) std::printf("no word changed\n");
    std::printf(rep.written.empty() ? "dry run: nothing written\n" : "wrote %s\n", rep.written.c_str());
    print_text(rep.after);
}

// ------------------------------------------------------------ demo

void demo() {
    const std::map<std::string, std::vector<std::string>> examples = {
        {"dm", {"slider1=5", "slider2=-1"}},
        {"ee", {"slider1=60", "slider2=3", "slider3=600"}},
        {"nr3d", {"strength=12", "ynoise=10", "unoise=6", "vnoise=4"}},
        {"mfll", {"mixer=0x40", "threshold=18"}},
        {"anr", {"ystrength=40", "cstrength=24", "ynoise=10", "companion=6", "cnoise=12"}},
        {"ccr", {"level=20"}},
        {"sat", {"sat0=10", "sat1=-5"}},
    };
    for (const auto& kind : kinds()) {
        Words block(kind.words, 0);
        const SetReport rep = apply(kind, block, examples.at(kind.name));
        std::printf("set %s on a zero block: %zu words changed\n", kind.name.c_str(), rep.changes.size());
        print_text(show(kind, block));
    }
    // An engineer's edit: one noise field of the Y channel changed by hand.
    const Kind nr3d = find_kind("nr3d");
    Words block(nr3d.words, 0);
    apply(nr3d, block, {"ynoise=10"});
    lv::put(block, lv::nr3d::noise_field(lv::nr3d::y, 3), 17);
    std::printf("after a hand edit of Y noise field t2 (18 -> 17):\n");
    print_text(show(nr3d, block));
}

const bool registered = register_command(90, [](CLI::App& app) {
    auto* isp = app.add_subcommand("isp", "KT2 register blocks as levels and sliders (show, set)");
    isp->require_subcommand(1);
    const std::string kinds_help =
        "Block kind: dm (21 words), ee (16), nr3d (15), mfll (2: mixer word, threshold word), anr (18), ccr (4), "
        "sat (545)";
    const std::string block_help =
        "Register block: text, one 32-bit word per line (0x%08X or decimal, # comments), or a JSON array";

    auto so = std::make_shared<ShowOptions>();
    auto* show_cmd = isp->add_subcommand("show", "Print every level or slider a block stands for and its hand edits");
    show_cmd->add_option("block", so->block, block_help)->required();
    show_cmd->add_option("--kind", so->kind, kinds_help)->required();
    show_cmd->add_flag("--json", so->json, "Print the report as JSON");
    show_cmd->callback([so] { run_show(*so); });

    auto st = std::make_shared<SetOptions>();
    auto* set_cmd = isp->add_subcommand(
        "set", "Apply levels (NAME=VALUE, in the order given per level) and print the words that changed");
    set_cmd->add_option("block", st->block, block_help)->required();
    set_cmd->add_option("assignments", st->assignments,
                        "NAME=VALUE: dm slider1, slider2; ee slider1..slider3; nr3d strength, ynoise, unoise, vnoise; "
                        "mfll mixer, threshold; anr ystrength, cstrength, ynoise (with companion), cnoise; ccr level; "
                        "sat sat0..sat2")
        ->required();
    set_cmd->add_option("--kind", st->kind, kinds_help)->required();
    set_cmd->add_option("-o,--output", st->output, "Write the block here instead of replacing BLOCK");
    set_cmd->add_flag("--dry-run", st->dry_run, "Print the changes and write nothing");
    set_cmd->add_flag("--json", st->json, "Print the report as JSON");
    set_cmd->callback([st] { run_set(*st); });
});

const bool demo_registered = register_demo_step(90, "ISP register levels", demo);

}  // namespace

}  // namespace morvik::cli
