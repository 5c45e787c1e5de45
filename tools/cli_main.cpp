// vexu-cli: the programmer for engineers and production stations.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "link/report_log.h"
#include "platform/trace.h"
#include "tools/cli.h"

using namespace vexu::cli;

int main(int argc, char** argv) {
    CLI::App app{"Vexu Dual Programmer - command line"};
    app.require_subcommand(1);
    GlobalOptions options;
    app.add_flag("--trace", options.trace, "Write trace lines to standard error");
    app.add_option("--report-log", options.reportLog,
                   "Write every feature-report transfer to FILE, one per line");
    auto* simulate = app.add_option("--simulate", options.simulateKeys, SimulateHelp())
                         ->type_name("[=KEYS]")
                         ->expected(0, 1);

    CLI::App* list = app.add_subcommand("list", "List the programmer boxes present");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }
    options.simulate = simulate->count() > 0;
    vexu::SetTraceToStderr(options.trace);
    if (!options.reportLog.empty() && !vexu::SetReportLog(options.reportLog)) {
        fprintf(stderr, "cannot write the report log %s\n", options.reportLog.c_str());
        return kExitUsage;
    }
    if (list->parsed()) return RunList(options);
    return kExitUsage;
}
