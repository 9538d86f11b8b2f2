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
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const BadInput& e) {
        std::cout.flush();
        std::cerr << "morvik: " << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "morvik: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
