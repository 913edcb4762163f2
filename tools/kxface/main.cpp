// kxface: finds faces and landmarks in pictures and follows faces in video,
// with the kx_tracker library.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include <opencv2/core/utils/logger.hpp>

#include "commands.h"
#include "kx/version.h"
#include "model_folder.h"

namespace kxface {

namespace {

const char kUsage[] =
    "usage: kxface detect|align5|align95 [options] IMAGE...\n"
    "       kxface track [options] VIDEO|CAMERA_INDEX\n"
    "       kxface --help | --version\n"
    "\n"
    "Finds faces with the kx_tracker library.\n"
    "\n"
    "commands:\n"
    "  detect   face boxes and detector scores\n"
    "  align5   the same, with five landmarks per face (eyes, nose, mouth corners)\n"
    "  align95  the same, with five and 95 landmarks per face\n"
    "           Each prints one JSON document per image, one line each, on\n"
    "           standard output:\n"
    "             {\"image\":PATH,\"width\":W,\"height\":H,\"faces\":[{\"box\":[x,y,w,h],\n"
    "              \"score\":S,\"points5\":[[x,y],...],\"points95\":[[x,y],...]},...]}\n"
    "           (points5 with align5 and align95, points95 with align95 only).\n"
    "  track    follows faces through a video file, or a camera given by its\n"
    "           index (0, 1, ...), and prints a summary on standard output:\n"
    "           frames, mean and 95th-percentile milliseconds per frame, and\n"
    "           detector calls. On a terminal a progress line on standard error\n"
    "           shows frames done, frames per second and faces tracked.\n"
    "\n"
    "options:\n"
    "  --models DIR     folder holding the four model files (default: the models\n"
    "                   installed with the library; in a build tree, the source\n"
    "                   tree's models/ folder)\n"
    "  --draw OUT       write the pictures with boxes (green), five landmarks (red)\n"
    "                   and 95 landmarks (yellow) drawn. With one IMAGE, OUT is\n"
    "                   the file to write (its extension picks the format) unless\n"
    "                   it is an existing folder; with several IMAGEs, OUT is a\n"
    "                   folder (created when missing) that receives each picture\n"
    "                   under its own file name. With track, OUT is a video file\n"
    "                   (Motion JPEG, e.g. out.avi) with the tracked faces drawn.\n"
    "  --json OUT       track: write one JSON line per frame to OUT:\n"
    "                   {\"frame\":N,\"ms\":T,\"faces\":[{\"box\":[x,y,w,h],\n"
    "                    \"points95\":[[x,y],...]},...]}; '-' writes them to\n"
    "                   standard output and moves the summary to standard error\n"
    "  --faces N        faces tracked at once (default 4)\n"
    "  --max-frames N   track: stop after N frames (useful with a camera)\n"
    "  --verbose        show the library's own console lines (model loading and\n"
    "                   the like) on standard error; without it they are dropped\n"
    "  --threads N      threads the networks share their work on, 1 to 64\n"
    "                   (default: the number of cores, at most 4); the results\n"
    "                   are the same for every count\n"
    "  -h, --help       print this help and exit\n"
    "  --version        print the version of kxface and the library and exit\n"
    "\n"
    "Standard output carries only results. The inputs are checked before the\n"
    "models are loaded: a missing or unreadable input is reported at once.\n"
    "Exit status: 0 success; 1 a missing or unreadable input, missing or\n"
    "unusable models (one line names the file) or an output that cannot be\n"
    "written (other images are still processed); 2 a usage error.\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "kxface: %s (see kxface --help)\n", message.c_str());
    return kExitUsage;
}

bool parseCount(const std::string& text, long long& value) {
    if (text.empty() || text.size() > 12) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    value = std::atoll(text.c_str());
    return true;
}

// Parses argv into options; returns -1 to go on, else the exit status.
int parse(int argc, char** argv, Options& options) {
    if (argc < 2) return usageError("no command given");
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (arg == "--version") {
            std::printf("kxface (kx_tracker) %s\n", KX_TRACKER_VERSION);
            return kExitOk;
        }
    }
    options.command = argv[1];
    if (options.command != "detect" && options.command != "align5" && options.command != "align95" &&
        options.command != "track") {
        return usageError("unknown command '" + options.command + "'");
    }
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takes_value = arg == "--models" || arg == "--draw" || arg == "--json" || arg == "--faces" ||
                                 arg == "--max-frames" || arg == "--threads";
        if (takes_value) {
            if (i + 1 >= argc) return usageError(arg + " needs a value");
            const std::string value = argv[++i];
            long long number = 0;
            if (arg == "--models") {
                options.models = value;
            } else if (arg == "--draw") {
                options.draw = value;
            } else if (arg == "--json") {
                options.json = value;
            } else if (arg == "--faces") {
                if (!parseCount(value, number) || number < 1 || number > 64) {
                    return usageError("--faces takes a number from 1 to 64");
                }
                options.faces = static_cast<int>(number);
            } else if (arg == "--threads") {
                if (!parseCount(value, number) || number < 1 || number > 64) {
                    return usageError("--threads takes a number from 1 to 64");
                }
                options.threads = static_cast<int>(number);
            } else {
                if (!parseCount(value, number) || number < 1) {
                    return usageError("--max-frames takes a number from 1 up");
                }
                options.max_frames = number;
            }
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            return usageError("unknown option " + arg);
        } else {
            options.inputs.push_back(arg);
        }
    }
    if (options.inputs.empty()) {
        return usageError(options.command == "track" ? "no video given" : "no image given");
    }
    if (options.command == "track" && options.inputs.size() > 1) return usageError("track takes one video");
    if (options.command != "track" && !options.json.empty()) return usageError("--json is for track");
    if (options.command != "track" && options.max_frames >= 0) return usageError("--max-frames is for track");
    return -1;
}

}  // namespace

void complain(const std::string& message) {
    std::fprintf(stderr, "kxface: %s\n", message.c_str());
    std::fflush(stderr);
}

bool modelsPresent(const Options& options) {
    const std::vector<std::string> missing = missingModelFiles(options.models);
    if (missing.empty()) return true;
    std::string list;
    for (const std::string& name : missing) list += (list.empty() ? "" : ", ") + name;
    complain("no trained models found in " + options.models + " (missing " + list + ")");
    return false;
}

}  // namespace kxface

int main(int argc, char** argv) {
    using namespace kxface;
    Options options;
    const int parsed = parse(argc, argv, options);
    if (parsed >= 0) return parsed;

    if (options.models.empty()) options.models = defaultModelFolder();

    // Results keep the real standard output to themselves: the library's
    // console lines, written to file descriptor 1, are dropped, or with
    // --verbose sent to standard error.
    std::fflush(stdout);
    const int result_fd = ::dup(STDOUT_FILENO);
    std::FILE* out = result_fd >= 0 ? ::fdopen(result_fd, "w") : nullptr;
    const int library_fd = options.verbose ? STDERR_FILENO : ::open("/dev/null", O_WRONLY);
    if (out == nullptr || library_fd < 0 || ::dup2(library_fd, STDOUT_FILENO) < 0) {
        complain("cannot set up the output streams");
        return kExitFailure;
    }

    // OpenCV's own warnings (video back-ends probing a file) would drown the
    // tool's one-line errors.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);

    int status = kExitFailure;
    try {
        if (options.command == "track") {
            status = runTrack(options, out);
        } else {
            const Landmarks landmarks = options.command == "detect"   ? Landmarks::None
                                        : options.command == "align5" ? Landmarks::Five
                                                                      : Landmarks::NinetyFive;
            status = runImages(options, landmarks, out);
        }
    } catch (const std::bad_alloc&) {
        complain("out of memory");
        status = kExitFailure;
    } catch (const std::exception& e) {
        complain(e.what());
        status = kExitFailure;
    }
    std::fclose(out);
    return status;
}
