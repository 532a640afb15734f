// vetrona-sim: the driver on the simulated kernel.
//
//   vetrona-sim run FILE... [--json] [--hex] [--report FILE.html] [--all-allow]
//                                                 play scenarios
//   vetrona-sim serve [--socket PATH] [--scenario FILE] [--json] [--hex]
//   vetrona-sim demo [--json] [--hex]             the bundled demo scenarios
//   vetrona-sim sweep FILE... [--sample N] [--seed S] [--point N] [--jobs N] [--timeout SEC] [--json]
//                                                 fail each fallible point of the scenarios in turn
//   --image build/windows/vetrona.sys             (any command) run the real driver image instead of
//                                                 the linked driver; the output is the same
//
// Exit status: 0 everything held; 1 an expectation failed, a step did not end
// as expected, the pool leaked or the driver did not stop; 2 bad arguments or
// a scenario file that cannot be loaded. A bugcheck stops the process
// (SIGABRT) with the stop code on standard error.
#include "tools/demo.h"
#include "tools/scenario_run.h"
#include "tools/serve.h"
#include "tools/sweep.h"

#include <CLI/CLI.hpp>

#include <iostream>

int main(int argc, char** argv) {
    CLI::App app{"vetrona-sim: runs the Vetrona driver on the simulated kernel", "vetrona-sim"};
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 all expectations held; 1 an expectation or step failed, a leak, or the driver did not stop;\n"
        "2 bad arguments or a scenario file that cannot be loaded. A bugcheck aborts the run.\n"
        "Scenarios: see scenarios/ and the README's \"Write your first scenario\".");

    bool json = false, hex = false;
    std::string image;
    const std::string imageHelp = "run this driver image (vetrona.sys) on the simulated kernel instead of the linked driver";
    std::vector<std::string> files;
    CLI::App* run = app.add_subcommand("run", "play scenario files, each on a fresh machine");
    run->add_option("files", files, "scenario files (YAML)")->required()->check(CLI::ExistingFile);
    run->add_flag("--json", json, "one JSON object per line instead of readable text");
    run->add_flag("--hex", hex, "show the raw bytes of each event message");
    run->add_option("--image", image, imageHelp)->check(CLI::ExistingFile);
    bool state = false;
    run->add_flag("--state", state, "after each scenario, list every file left on its volumes with its size and SHA-256");
    std::string report;
    run->add_option("--report", report, "write a behaviour report of the runs to this HTML file (one page for all)");
    bool allAllow = false;
    run->add_flag("--all-allow", allAllow,
                  "answer allow to every event whatever the policy says (a scenario whose deny or backup matters then fails)");

    std::string socketPath = vsim::DefaultSocketPath();
    std::string scenarioFile;
    int clients = 0;
    CLI::App* serve = app.add_subcommand("serve", "serve the driver's control device and port on a Unix socket");
    serve->add_option("--socket", socketPath, "socket path (default $VETRONA_SOCKET or " + vsim::DefaultSocketPath() + ")");
    serve->add_option("--scenario", scenarioFile, "play this scenario's machine and workload against the client that connects")
        ->check(CLI::ExistingFile);
    serve->add_option("--clients", clients, "stop after this many client connections have ended (0: serve until interrupted)");
    serve->add_flag("--json", json, "one JSON object per line");
    serve->add_flag("--hex", hex, "show the raw bytes of each event message");
    serve->add_option("--image", image, imageHelp)->check(CLI::ExistingFile);

    CLI::App* demo = app.add_subcommand("demo", "play the demo scenarios built into the program (scenarios/demo.txt)");
    demo->add_flag("--json", json, "one JSON object per line instead of readable text");
    demo->add_flag("--hex", hex, "show the raw bytes of each event message");
    demo->add_option("--image", image, imageHelp)->check(CLI::ExistingFile);

    vsim::SweepOptions sweepOptions;
    uint64_t sweepSeed = 0, sweepPoint = 0;
    CLI::App* sweep = app.add_subcommand("sweep", "fail each fallible point of each scenario in turn and check what is left");
    sweep->add_option("files", sweepOptions.files, "scenario files (YAML)")->required()->check(CLI::ExistingFile);
    sweep->add_option("--sample", sweepOptions.sample, "fail this many points chosen at random (default: every point)");
    CLI::Option* seedOption = sweep->add_option("--seed", sweepSeed, "seed of the sample (default: from the clock; printed)");
    CLI::Option* pointOption = sweep->add_option("--point", sweepPoint, "fail only this point and show the run")
                                   ->check(CLI::PositiveNumber);
    sweep->add_option("--jobs", sweepOptions.jobs, "runs at once (default 1)")->check(CLI::PositiveNumber);
    sweep->add_option("--timeout", sweepOptions.timeout, "seconds a run may take before it counts as a hang (default 30)");
    sweep->add_flag("--json", sweepOptions.json, "one JSON object per line instead of readable text");
    sweep->add_flag("--verbose", sweepOptions.verbose, "a line for every run, not only the failed ones");
    sweep->add_option("--image", sweepOptions.image, imageHelp)->check(CLI::ExistingFile);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (*run) {
        return vsim::RunScenarioFiles(files, {json, hex, image, state, report, allAllow});
    }
    if (*sweep) {
        if (*seedOption) sweepOptions.seed = sweepSeed;
        if (*pointOption) sweepOptions.point = sweepPoint;
        return vsim::RunSweep(sweepOptions);
    }
    if (*serve) {
        vsim::ServeOptions options;
        options.socketPath = socketPath;
        options.scenarioFile = scenarioFile;
        options.clients = clients;
        options.run = {json, hex, image};
        return vsim::Serve(options);
    }
    return vsim::RunDemo({json, hex, image});
}
