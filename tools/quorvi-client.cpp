// quorvi-client: a reference client for the Quorvi server. Connects, sends
// what the command line asks for, reads frame lines, checks and decodes each
// one, prints one line per frame and a summary. Exit codes: 0 when every
// frame read was well-formed, 1 otherwise (or when the connection or a file
// failed), 2 for a bad command line.

#include "tools/ClientOptions.h"
#include "tools/FrameReader.h"
#include "tools/LineConnection.h"
#include "tools/StreamSummary.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>

extern "C" {
#include <libavutil/log.h>
}

namespace {

using namespace quorvi::client;

std::atomic<bool> isInterrupted{false};

void onSignal(int) {
    isInterrupted = true;
}

double wallClockNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

void printOut(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    // Lines are read live by people and scripts alike.
    std::fflush(stdout);
}

void printError(const std::string& line) {
    std::fputs(("quorvi-client: " + line + "\n").c_str(), stderr);
}

int run(const ClientOptions& options) {
    std::ofstream dump;
    if (options.dumpPath) {
        dump.open(*options.dumpPath, std::ios::binary | std::ios::trunc);
        if (!dump) {
            printError("impossible d'écrire " + *options.dumpPath);
            return 1;
        }
    }

    std::string error;
    const std::unique_ptr<LineConnection> connection =
        LineConnection::connect(options.host, options.port, std::chrono::seconds(5), error,
                                options.bindAddress.value_or(""));
    if (!connection) {
        printError(error);
        return 1;
    }
    printError("connecté à " + options.host + ":" + std::to_string(options.port));

    for (const Outgoing& message : options.outgoing) {
        const std::string line = outgoingLine(message, wallClockNow());
        if (!connection->sendLine(line)) {
            printError(connection->error());
            return 1;
        }
        printOut("sent " + line);
    }

    FrameReader reader;
    bool isDumpBroken = false;
    if (options.dumpPath) {
        reader.onAccessUnit = [&](std::span<const std::uint8_t> accessUnit) {
            dump.write(reinterpret_cast<const char*>(accessUnit.data()),
                       static_cast<std::streamsize>(accessUnit.size()));
            isDumpBroken = isDumpBroken || !dump;
        };
    }
    StreamSummary summary;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (options.secondsLimit) {
        deadline = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(*options.secondsLimit));
    }

    bool hasFailed = false;
    bool isServerGone = false;
    std::string line;
    while (!options.frameLimit || summary.frames() < *options.frameLimit) {
        const LineConnection::ReadStatus status =
            connection->readLine(line, deadline, [] { return isInterrupted.load(); });
        if (status == LineConnection::ReadStatus::line) {
            if (line.empty()) {
                continue;
            }
            const double receivedAt = wallClockNow();
            summary.addFrame(receivedAt);
            const FrameReport report = reader.read(line, receivedAt);
            if (report.isWellFormed) {
                summary.addWellFormed(report.payloadKind == "none"
                                          ? std::nullopt
                                          : std::optional<std::size_t>(report.payloadBytes),
                                      report.latencyMs / 1000.0);
                printOut(formatFrameLine(report));
            } else {
                summary.addMalformed();
                printError(formatMalformedLine(report));
            }
            continue;
        }
        if (status == LineConnection::ReadStatus::closed) {
            isServerGone = true;
            if (connection->pendingBytes() > 0) {
                summary.addFrame(wallClockNow());
                summary.addMalformed();
                printError("trame malformée seq=?: ligne incomplète (" +
                           std::to_string(connection->pendingBytes()) +
                           " octets) à la fermeture de la connexion");
            }
            printError("connexion fermée par le serveur");
        } else if (status == LineConnection::ReadStatus::tooLong) {
            summary.addFrame(wallClockNow());
            summary.addMalformed();
            printError("trame malformée seq=?: ligne de plus de " +
                       std::to_string(LineConnection::kMaxLineLength) + " octets");
        } else if (status == LineConnection::ReadStatus::failed) {
            printError(connection->error());
            hasFailed = true;
        }
        break;
    }

    if (options.frameLimit && summary.frames() < *options.frameLimit && !isInterrupted) {
        printError("seulement " + std::to_string(summary.frames()) + " trame(s) reçue(s) sur " +
                   std::to_string(*options.frameLimit) +
                   (isServerGone ? "" : " dans le temps imparti"));
        hasFailed = true;
    }
    if (isDumpBroken) {
        printError("écriture échouée: " + *options.dumpPath);
        hasFailed = true;
    }
    if (options.savePath) {
        const std::optional<RgbPicture> picture = reader.lastPicture();
        if (!picture) {
            printError("aucune image décodée: " + *options.savePath + " n'est pas écrit");
            hasFailed = true;
        } else if (std::optional<std::string> failure = writePng(*picture, *options.savePath)) {
            printError("PNG non écrit: " + *failure);
            hasFailed = true;
        } else {
            printError("image enregistrée: " + *options.savePath + " (" +
                       std::to_string(picture->width) + "x" + std::to_string(picture->height) +
                       ")");
        }
    }
    printOut(summary.line());
    return hasFailed || summary.malformed() > 0 ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const ParsedOptions parsed = parseClientOptions(arguments);
    if (!parsed.options) {
        printError(parsed.error);
        std::fputs("usage: quorvi-client HOTE[:PORT] [options] (--help pour le détail)\n", stderr);
        return 2;
    }
    if (parsed.options->isHelpRequested) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    // Decoder complaints about a broken unit are already reported per frame.
    av_log_set_level(AV_LOG_FATAL);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    return run(*parsed.options);
}
