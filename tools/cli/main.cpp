// morvik: run the library's calibrations on real files.
#include <algorithm>
#include <iostream>

#include "cli.h"

namespace morvik::cli {

namespace {

struct Registry {
    std::vector<std::pair<int, CommandSetup>> commands;
    struct Step {
        int order;
        std::string title;
        std::function<void()> run;
    };
    std::vector<Step> demo;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

bool register_command(int order, CommandSetup setup) {
    registry().commands.emplace_back(order, std::move(setup));
    return true;
}

bool register_demo_step(int order, std::string title, std::function<void()> run) {
    registry().demo.push_back({order, std::move(title), std::move(run)});
    return true;
}

}  // namespace morvik::cli

int main(int argc, char** argv) {
    using namespace morvik::cli;
    CLI::App app{"morvik: camera-calibration and ISP-tuning algorithms on real files"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("morvik ") + MORVIK_VERSION);
    app.footer(
        "Exit status: 0 success; 1 a calculation failed; 2 bad input (a file, a value or an option outside\n"
        "its domain; the message names the file or option, the place and the rule). Output files are\n"
        "written only when the run succeeds. --json prints exactly one JSON document on stdout.");

    auto& reg = registry();
    std::stable_sort(reg.commands.begin(), reg.commands.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [order, setup] : reg.commands) setup(app);

    auto* demo = app.add_subcommand("demo", "Run every calibration family on built-in synthetic data");
    demo->callback([&reg] {
        std::stable_sort(reg.demo.begin(), reg.demo.end(),
                         [](const auto& a, const auto& b) { return a.order < b.order; });
        for (const auto& step : reg.demo) {
            std::cout << "== " << step.title << " ==\n";
            step.run();
            std::cout << '\n';
        }
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError& e) {
        // Usage errors are bad input too: one line on stderr, status 2.
        std::cerr << "morvik: " << e.what() << " (see --help)\n";
        return 2;
    } catch (const BadInput& e) {
        std::cout.flush();
        std::cerr << "morvik: " << e.what() << '\n';
        return 2;
    } catch (const nlohmann::json::exception& e) {
        // A JSON value of an unexpected type that no reader named: still bad input.
        std::cout.flush();
        std::cerr << "morvik: JSON input: " << e.what() << '\n';
        return 2;
    } catch (const std::filesystem::filesystem_error& e) {
        std::cout.flush();
        std::cerr << "morvik: " << e.path1().string() << ": " << e.code().message() << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "morvik: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
