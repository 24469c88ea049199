// vellary-convert: the command-line front end of the converter. It runs the
// same conversion as the window.
//
//   vellary-convert --to eml|emlx|msg|pst [--pst-per-mailbox] -o OUTPUT_FOLDER SOURCE...

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/CliView.h"
#include "common/modMain.h"
#include "common/HeapPolicy.h"
#include "common/Platform.h"
#include "common/StopSignals.h"
#include "common/registry.h"
#include "conversion/ConversionRun.h"
#include "sources/pathLogger.h"

namespace {

const char* kUsage =
    "usage: vellary-convert --to eml|emlx|msg|pst [--pst-per-mailbox] -o OUTPUT_FOLDER SOURCE...\n"
    "\n"
    "Converts MBOX mailbox files into .eml, .emlx or .msg message files, or into\n"
    "Outlook personal store (.pst) files.\n"
    "\n"
    "  --to FORM           eml, emlx, msg or pst\n"
    "  --pst-per-mailbox   with --to pst: one store per mailbox instead of one for all\n"
    "  -o OUTPUT_FOLDER    where the results go (created when missing)\n"
    "  SOURCE              a mailbox file, or a folder: every file below it,\n"
    "                      level by level, as the window's folder add takes them\n"
    "\n"
    "Exit status: 0 when everything converted, 1 when any mailbox, message or store\n"
    "failed, 2 for a usage error. SIGINT, SIGTERM or SIGHUP stops the run once the\n"
    "open store is finished: the status is then 128 + the signal's number (130, 143,\n"
    "129), or 1 when that store could not be finished. A second signal ends at once.\n";

int usage(const char* problem) {
    if (problem) std::fprintf(stderr, "vellary-convert: %s\n", problem);
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    ReturnLargeBlocksToTheSystem();
    conversion::RunRequest request;
    std::string output;
    bool perMailbox = false;
    std::vector<std::string> sources;
    const std::vector<std::string> args = Utf8Arguments(argc, argv);
    for (int i = 1; i < argc; ++i) {
        std::string arg = args[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--to" || arg.starts_with("--to=")) {
            std::string form;
            if (arg == "--to") {
                if (++i >= argc) return usage("--to needs a form");
                form = args[i];
            } else {
                form = arg.substr(5);
            }
            if (form == "eml")
                request.form = conversion::TargetForm::Eml;
            else if (form == "emlx")
                request.form = conversion::TargetForm::Emlx;
            else if (form == "msg")
                request.form = conversion::TargetForm::Msg;
            else if (form == "pst")
                request.form = conversion::TargetForm::Pst;
            else
                return usage(("unknown form: " + form).c_str());
        } else if (arg == "--pst-per-mailbox") {
            perMailbox = true;
        } else if (arg == "-o" || arg == "--output") {
            if (++i >= argc) return usage("-o needs a folder");
            output = args[i];
        } else if (arg == "--") {
            for (++i; i < argc; ++i) sources.push_back(args[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage(("unknown option: " + arg).c_str());
        } else {
            sources.push_back(arg);
        }
    }
    if (request.form == conversion::TargetForm::None) return usage("no target form given (--to)");
    if (output.empty()) return usage("no output folder given (-o)");
    if (sources.empty()) return usage("no source mailbox given");
    if (perMailbox && request.form != conversion::TargetForm::Pst) return usage("--pst-per-mailbox goes with --to pst");
    request.singleStore = request.form == conversion::TargetForm::Pst && !perMailbox;

    if (request.form == conversion::TargetForm::Pst || request.form == conversion::TargetForm::Msg) {
        if (!conversion::MakeStoreSteps(request.form, request.singleStore, nullptr, nullptr)) {
            std::fprintf(stderr, "vellary-convert: this build has no store forms (.pst, .msg): it was made without GMime\n");
            return 2;
        }
    }

    for (const auto& s : sources) {
        std::string source = NormaliseSourcePath(s);
        std::error_code ec;
        if (std::filesystem::is_directory(PathFromUtf8(SystemPathForm(source)), ec)) {
            for (std::string& file : sources::FilesBelowFolder(source)) request.rows.push_back(std::move(file));
        } else {
            request.rows.push_back(source);
        }
    }
    if (request.rows.empty()) return usage("no file found in the source folder(s)");
    std::string outputFolder = NormaliseSourcePath(output);
    std::string error;
    if (!EnsureFolderPath(outputFolder, &error)) {
        std::fprintf(stderr, "vellary-convert: cannot create the output folder %s: %s\n", outputFolder.c_str(),
                     error.c_str());
        return 1;
    }

    CliView view(outputFolder);
    conversion::ConversionRun run(view, std::move(request));
    InstallStopSignals();
    conversion::RunOutcome outcome = run.execute();
    view.endProgress();
    if (outcome.stopped) {
        // Every failure, a store that could not be finished among them, is
        // already named on stderr.
        const int signal = StopSignalReceived();
        std::fprintf(stderr, "vellary-convert: stopped by %s: %lld messages saved, %lld failed%s\n",
                     StopSignalName(signal), outcome.messagesSaved, outcome.messagesFailed,
                     outcome.storesUnfinished > 0 ? "; a store could not be finished" : "; every store is finished");
        return outcome.storesUnfinished > 0 ? 1 : 128 + signal;
    }
    return outcome.ok() ? 0 : 1;
}
