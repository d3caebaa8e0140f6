// quorvi-client as a black box, against a loopback peer played by the test:
// what it sends, the frames it accepts and refuses, the PNG and the dump it
// writes, its exit codes. The project's own encoders make the pictures.

#include "linux/TestCommands.h"
#include "platform/linux/LibavCompressionSession.h"
#include "platform/linux/TurboJpegEncoder.h"
#include "protocol/Base64.h"
#include "protocol/JsonCodec.h"

#include <array>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvi {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::runCommand;

constexpr int kWidth = 64;
constexpr int kHeight = 48;
// Quadrants red, green / blue, white, as BGRA pixels.
constexpr std::array<std::array<std::uint8_t, 4>, 4> kQuadrants = {
    {{0, 0, 255, 255}, {0, 255, 0, 255}, {255, 0, 0, 255}, {255, 255, 255, 255}}};

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (line.rfind(prefix, 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::shared_ptr<const PixelBuffer> quadrants() {
    auto picture = std::make_shared<PixelBuffer>(kWidth, kHeight);
    for (int i = 0; i < kWidth * kHeight; ++i) {
        const int q = (i / kWidth >= kHeight / 2 ? 2 : 0) + (i % kWidth >= kWidth / 2 ? 1 : 0);
        std::memcpy(picture->mutableData() + i * 4, kQuadrants[q].data(), 4);
    }
    return picture;
}

// The PNG as ffmpeg reads it: 64 × 48 and the quadrants' colours.
void expectQuadrants(const std::string& png, int tolerance) {
    const std::string rgb =
        runCommand("ffmpeg -nostdin -v error -i " + png + " -f rawvideo -pix_fmt rgb24 -").output;
    ASSERT_EQ(rgb.size(), std::size_t{kWidth * kHeight * 3}) << rgb.substr(0, 200);
    for (int q = 0; q < 4; ++q) {
        const int x = q % 2 == 0 ? kWidth / 4 : kWidth * 3 / 4;
        const int y = q < 2 ? kHeight / 4 : kHeight * 3 / 4;
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(static_cast<std::uint8_t>(rgb[(y * kWidth + x) * 3 + c]),
                        kQuadrants[q][2 - c], tolerance)
                << "quadrant " << q << " channel " << c;
        }
    }
}

// A 64 × 48 frame line carrying a JPEG, or an H.264 unit when a key-frame
// flag comes with it, or nothing; change, when given, alters it first.
std::string frameLine(std::int64_t sequence, const Bytes& payload,
                      std::optional<bool> isKeyFrame = std::nullopt,
                      const std::function<void(ScreenFrameMessage&)>& change = nullptr) {
    ScreenFrameMessage message;
    message.sequence = sequence;
    message.sentAt = 1;
    message.width = kWidth;
    message.height = kHeight;
    message.imageMimeType = "image/jpeg";
    if (isKeyFrame) {
        message.videoBase64 = encodeBase64(payload);
        message.videoCodec = "h264-annexb";
        message.isKeyFrame = isKeyFrame;
    } else if (!payload.empty()) {
        message.imageBase64 = encodeBase64(payload);
    }
    if (change) {
        change(message);
    }
    return encodeScreenFrameMessage(message).value.value() + "\n";
}

// The server end of one connection on loopback; with isListening false,
// a port where connecting is refused. Every wait ends after 10 s.
class Peer {
public:
    explicit Peer(bool isListening = true) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
        if (isListening) {
            ::listen(listener_, 1);
        }
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVTIMEO, &kTimeout, sizeof kTimeout);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        address_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    ~Peer() {
        ::close(client_);
        ::close(listener_);
    }
    const std::string& address() const { return address_; }

    bool accept() {
        client_ = ::accept(listener_, nullptr, nullptr);
        ::setsockopt(client_, SOL_SOCKET, SO_RCVTIMEO, &kTimeout, sizeof kTimeout);
        return client_ >= 0;
    }
    void send(const std::string& bytes) {
        ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    std::string readLine() {
        std::string text;
        for (char c = 0; ::recv(client_, &c, 1, 0) == 1 && c != '\n';) {
            text += c;
        }
        return text;
    }
    void finishSending() { ::shutdown(client_, SHUT_WR); }

private:
    static constexpr timeval kTimeout{10, 0};
    int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int client_ = -1;
    std::string address_;
};

class QuorviClientTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(folder_); }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    // Runs the client (standard output and error together) while serve plays
    // the server; the exit code goes in status.
    testing::CommandResult runClient(const std::string& arguments,
                                     const std::function<void()>& serve) {
        auto running = std::async(std::launch::async, runCommand,
                                  "timeout 30 " + client_.string() + " " + arguments);
        serve();
        testing::CommandResult result = running.get();
        result.status = WIFEXITED(result.status) ? WEXITSTATUS(result.status) : -1;
        return result;
    }

    std::string file(const std::string& name) const { return (folder_ / name).string(); }

    const std::filesystem::path client_ =
        std::filesystem::read_symlink("/proc/self/exe").parent_path() / "quorvi-client";
    const std::filesystem::path folder_ = std::filesystem::temp_directory_path() /
                                          ("quorvi-client-test-" + std::to_string(::getpid()));
};

// H.264 and HEVC (where libx265 is) from the project's encoders: joining
// between key frames, the client waits for the next one, then decodes every
// picture, dumps every unit as received and saves the last picture.
TEST_F(QuorviClientTest, DecodesTheProjectsVideoFromTheNextKeyFrameAndDumpsIt) {
    const std::vector<std::pair<std::string, LibavEncoderChoice>> encoders = {
        {"h264", {{}, {"libx264"}}}, {"hevc", {{"libx265"}, {}}}};
    for (const auto& [payload, choice] : encoders) {
        SCOPED_TRACE(payload);
        VideoFrameEncoder encoder(makeLibavCompressionSessionFactory(choice));
        std::vector<EncodedVideoFrame> units;
        for (int i = 0; i < 6; ++i) {
            if (i == 3) {
                encoder.forceKeyFrame();
            }
            if (auto unit = encoder.encode({quadrants(), kWidth, kHeight}, {})) {
                units.push_back(std::move(*unit));
            }
        }
        if (payload == "hevc" && units.empty()) {
            continue; // no libx265 here
        }
        ASSERT_EQ(units.size(), 6u);
        ASSERT_EQ(units[0].codec, payload + "-annexb");
        ASSERT_TRUE(!units[1].isKeyFrame && !units[2].isKeyFrame && units[3].isKeyFrame);

        std::string sent;
        Peer peer;
        const auto run = runClient(
            peer.address() + " --frames 5 --dump " + file("dump") + " --save " + file("last.png"),
            [&] {
                ASSERT_TRUE(peer.accept());
                for (std::size_t i = 1; i < units.size(); ++i) {
                    const auto& unit = units[i];
                    peer.send(frameLine(static_cast<std::int64_t>(i), unit.data, unit.isKeyFrame,
                                        [&](auto& m) { m.videoCodec = unit.codec; }));
                    sent.append(unit.data.begin(), unit.data.end());
                }
            });

        EXPECT_EQ(run.status, 0) << run.output;
        const auto frames = linesStartingWith(run.output, "frame ");
        ASSERT_EQ(frames.size(), 5u) << run.output;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const EncodedVideoFrame& unit = units[i + 1];
            EXPECT_EQ(frames[i].rfind("frame seq=" + std::to_string(i + 1) + " payload=" + payload +
                                          " size=64x48 bytes=" + std::to_string(unit.data.size()) +
                                          " key=" + (unit.isKeyFrame ? "yes" : "no"),
                                      0),
                      0u)
                << frames[i];
            EXPECT_EQ(frames[i].find("decoded=no") != std::string::npos, i < 2) << frames[i];
        }
        std::ifstream dump(file("dump"), std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(dump), {}), sent);
        expectQuadrants(file("last.png"), 24);
    }
}

// What the client sends comes first, in the order given; then each frame
// line is checked: JPEG decoded, a frame without a picture shown with its
// subtitle, each malformed one reported with its sequence and reason.
TEST_F(QuorviClientTest, SendsItsMessagesThenChecksEveryFrameAndReportsTheMalformed) {
    const Bytes jpeg = TurboJpegEncoder().encode(*quadrants(), 90).value_or(Bytes{});
    const Bytes unit = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xce, 0, 0, 0, 1, 0x65, 0x88};
    const std::vector<std::pair<std::string, std::string>> malformed = {
        {frameLine(1, jpeg, {}, [](auto& m) { m.imageBase64->back() = '*'; }),
         "seq=1: imageBase64 n'est pas du Base64 valide"},
        {"{\"kind\":\"frame\",\"sequence\":2,\"sentAt\":1}\n", "seq=2: trame illisible"},
        {"pas du JSON\n", "seq=?: trame illisible"},
        {frameLine(4, unit, true, [&](auto& m) { m.imageBase64 = encodeBase64(jpeg); }),
         "seq=4: imageBase64 et videoBase64 présents ensemble"},
        {frameLine(5, Bytes(unit.begin() + 1, unit.end()), true),
         "seq=5: l'unité d'accès ne commence pas par le code de début 00 00 00 01"},
        {frameLine(6, jpeg, {}, [](auto& m) { m.width = 128; }),
         "seq=6: le JPEG mesure 64x48, la trame annonce 128x48"},
        {frameLine(7, unit, true, [](auto& m) { m.videoCodec = "vp9"; }),
         "seq=7: videoCodec inconnu"},
        {frameLine(8, unit, true, [](auto& m) { m.isKeyFrame.reset(); }),
         "seq=8: videoBase64 sans isKeyFrame"},
        {frameLine(9, Bytes(jpeg.begin(), jpeg.begin() + 200)), "seq=9: "},
        {frameLine(10, jpeg, {}, [](auto& m) { m.kind = "trame"; }), "seq=10: kind vaut"},
        {frameLine(11, Bytes(unit.begin() + 12, unit.end()), true),
         "seq=11: image clé sans SPS et PPS avant sa première tranche"},
        {frameLine(12, Bytes(unit.begin(), unit.begin() + 12), false),
         "seq=12: l'unité d'accès ne contient aucune tranche d'image"},
        {frameLine(13, unit, true,
                   [&](auto& m) {
                       Bytes shortCode = unit;
                       shortCode.erase(shortCode.begin() + 6);
                       m.videoBase64 = encodeBase64(shortCode);
                   }),
         "seq=13: l'unité NAL n° 2 a un code de début de 3 octets"},
    };
    std::vector<std::string> sent(4);
    Peer peer;
    const auto run = runClient(
        peer.address() + " --frames 16 --save " + file("last.png") +
            " --tap 0.25,0.75 --viewport 390x844 --stats 40,30"
            " --send '{\"kind\":\"custom\",\"note\":\"à la main\"}'",
        [&] {
            ASSERT_TRUE(peer.accept());
            for (std::string& text : sent) {
                text = peer.readLine();
            }
            peer.send(frameLine(0, jpeg));
            for (const auto& row : malformed) {
                peer.send(row.first);
            }
            peer.send(frameLine(14, {}, {}, [](auto& m) { m.subtitle = "Capture démarre"; }) +
                      frameLine(15, jpeg));
        });

    const InputEventMessage wanted[] = {
        {.phase = "tap", .x = 0.25, .y = 0.75},
        {.kind = "viewport", .viewportWidth = 390, .viewportHeight = 844},
        {.kind = "stats", .latencyMs = 40, .displayedFPS = 30}};
    for (int i = 0; i < 3; ++i) {
        auto message = decodeInputEventMessage(sent[i]).value.value_or(InputEventMessage{});
        EXPECT_NEAR(message.sentAt, std::time(nullptr), 10) << sent[i];
        message.sentAt = 0;
        EXPECT_EQ(message, wanted[i]) << sent[i];
    }
    EXPECT_EQ(sent[3], "{\"kind\":\"custom\",\"note\":\"à la main\"}");

    EXPECT_EQ(run.status, 1) << run.output;
    const auto reports = linesStartingWith(run.output, "quorvi-client: trame malformée ");
    ASSERT_EQ(reports.size(), malformed.size()) << run.output;
    for (std::size_t i = 0; i < malformed.size(); ++i) {
        EXPECT_EQ(reports[i].find("quorvi-client: trame malformée " + malformed[i].second), 0u)
            << reports[i];
    }
    const auto frames = linesStartingWith(run.output, "frame ");
    const std::string size = std::to_string(jpeg.size());
    ASSERT_EQ(frames.size(), 3u) << run.output;
    EXPECT_EQ(frames[0].rfind("frame seq=0 payload=jpeg size=64x48 bytes=" + size + " key=- ", 0),
              0u)
        << frames[0];
    EXPECT_EQ(frames[1].rfind("frame seq=14 payload=none size=64x48 bytes=0 key=- ", 0), 0u);
    EXPECT_NE(frames[1].find("subtitle=\"Capture démarre\""), std::string::npos) << frames[1];
    EXPECT_NE(run.output.find("summary frames=16 malformed=13 "), std::string::npos);
    EXPECT_NE(run.output.find(" bytes_min=" + size + " bytes_avg=" + size + " bytes_max=" + size),
              std::string::npos);
    expectQuadrants(file("last.png"), 12);
}

TEST_F(QuorviClientTest, EachWayOfEndingHasItsExitCodeAndReason) {
    const Peer refusing(false);
    const std::string good = frameLine(1, TurboJpegEncoder().encode(*quadrants(), 90).value());
    struct Ending {
        std::string arguments;             // after the peer's address, unless they begin with "X"
        std::optional<std::string> served; // what the peer sends, when it accepts
        int exitCode;
        std::string said;
    };
    const std::vector<Ending> endings = {
        {" --frames 5", good, 1, "seulement 1 trame(s) reçue(s) sur 5\n"},
        {"", good + "{\"kind\":\"frame\",\"seq", 1, "ligne incomplète"},
        {" --frames 1 --save " + file("none.png"), frameLine(1, {}), 1, "aucune image décodée"},
        // Connected (the kernel completes it) but never served: time ends it.
        {" --seconds 0.5", std::nullopt, 0, "summary frames=0 malformed=0"},
        {"X --help", std::nullopt, 0, "usage: quorvi-client HOTE[:PORT]"},
        {"X" + refusing.address(), std::nullopt, 1, "Connexion refusée par " + refusing.address()},
        {"X", std::nullopt, 2, "adresse du serveur manquante"},
        {"X127.0.0.1:70000", std::nullopt, 2, "adresse invalide"},
        {" --frames 0", std::nullopt, 2, "--frames attend un entier positif"},
        {" --seconds -1", std::nullopt, 2, "--seconds attend une durée positive"},
        {" --tap 0.5", std::nullopt, 2, "--tap attend X,Y"},
        {" --volume 3", std::nullopt, 2, "option inconnue: --volume"},
        {" 127.0.0.2", std::nullopt, 2, "une seule adresse attendue"},
    };
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.arguments);
        Peer peer;
        const bool isAlone = ending.arguments.starts_with("X");
        const auto run = runClient(
            isAlone ? ending.arguments.substr(1) : peer.address() + ending.arguments, [&] {
                if (ending.served) {
                    ASSERT_TRUE(peer.accept());
                    peer.send(*ending.served);
                    peer.finishSending();
                }
            });
        EXPECT_EQ(run.status, ending.exitCode) << run.output;
        EXPECT_NE(run.output.find(ending.said), std::string::npos) << run.output;
    }
    EXPECT_FALSE(std::filesystem::exists(file("none.png")));
}

} // namespace
} // namespace quorvi
