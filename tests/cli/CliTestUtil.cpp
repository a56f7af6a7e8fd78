#include "cli/CliTestUtil.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace mv::clitest {

TRun RunCli(const std::vector<std::string>& Args, const std::string& ScratchDir,
            const std::string& Cwd) {
    const std::string OutName = ScratchDir + "/.stdout", ErrName = ScratchDir + "/.stderr";
    std::string Program = MORVELLAN_CLI;
    std::vector<std::string> Words{Program};
    Words.insert(Words.end(), Args.begin(), Args.end());
    std::vector<char*> Argv;
    for (std::string& W : Words) Argv.push_back(W.data());
    Argv.push_back(nullptr);

    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 1, OutName.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&Actions, 2, ErrName.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (!Cwd.empty()) posix_spawn_file_actions_addchdir_np(&Actions, Cwd.c_str());
    pid_t Pid = 0;
    int Error = posix_spawn(&Pid, Program.c_str(), &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    TRun R;
    if (Error != 0) {
        ADD_FAILURE() << "cannot start " << Program;
        return R;
    }
    int Status = 0;
    while (waitpid(Pid, &Status, 0) < 0) {
    }
    R.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    auto Text = [](const std::string& Name) {
        TBytes B = ReadBytes(Name);
        std::remove(Name.c_str());
        return std::string(B.begin(), B.end());
    };
    R.Out = Text(OutName);
    R.Err = Text(ErrName);
    return R;
}

TBytes ReadBytes(const std::string& Path) {
    std::ifstream F(Path, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(F), {});
}

void WriteBytes(const std::string& Path, const TBytes& Bytes) {
    std::ofstream F(Path, std::ios::binary);
    F.write(reinterpret_cast<const char*>(Bytes.data()),
            static_cast<std::streamsize>(Bytes.size()));
}

std::vector<std::string> ListDir(const std::string& Dir) {
    std::vector<std::string> Names;
    if (DIR* D = opendir(Dir.c_str())) {
        while (dirent* E = readdir(D)) {
            std::string N = E->d_name;
            if (N != "." && N != "..") Names.push_back(N);
        }
        closedir(D);
    }
    std::sort(Names.begin(), Names.end());
    return Names;
}

namespace {

void Put16(TBytes& B, uint32_t V) {
    B.push_back(static_cast<uint8_t>(V));
    B.push_back(static_cast<uint8_t>(V >> 8));
}

void Put32(TBytes& B, uint32_t V) {
    Put16(B, V & 0xFFFF);
    Put16(B, V >> 16);
}

} // namespace

TBytes Make24BitBmp(int32_t W, int32_t H, const std::function<uint32_t(int32_t, int32_t)>& Pixel) {
    const uint32_t Stride = (static_cast<uint32_t>(W) * 3 + 3) & ~3u;
    const uint32_t ImageSize = Stride * static_cast<uint32_t>(H);
    TBytes B{'B', 'M'};
    Put32(B, 54 + ImageSize);
    Put32(B, 0);
    Put32(B, 54);
    Put32(B, 40);
    Put32(B, static_cast<uint32_t>(W));
    Put32(B, static_cast<uint32_t>(H));
    Put16(B, 1);
    Put16(B, 24);
    Put32(B, 0);
    Put32(B, ImageSize);
    for (int i = 0; i < 4; ++i) Put32(B, 0);
    for (int32_t Y = H - 1; Y >= 0; --Y) {
        for (int32_t X = 0; X < W; ++X) {
            uint32_t C = Pixel(X, Y);
            B.push_back(static_cast<uint8_t>(C));
            B.push_back(static_cast<uint8_t>(C >> 8));
            B.push_back(static_cast<uint8_t>(C >> 16));
        }
        B.resize(B.size() + (Stride - static_cast<uint32_t>(W) * 3), 0);
    }
    return B;
}

uint32_t Get16(const TBytes& B, size_t At) {
    return B.at(At) | uint32_t{B.at(At + 1)} << 8;
}

uint32_t Get32(const TBytes& B, size_t At) {
    return Get16(B, At) | Get16(B, At + 2) << 16;
}

// ---------------------------------------------------------------------------
// JSON

const TJson& TJson::operator[](const std::string& Key) const {
    static const TJson Missing;
    auto It = Members.find(Key);
    if (It == Members.end()) {
        ADD_FAILURE() << "no member \"" << Key << "\"";
        return Missing;
    }
    return It->second;
}

namespace {

class TJsonReader {
public:
    explicit TJsonReader(const std::string& Text) : FText(Text) {}

    TJson Document() {
        TJson V = Value();
        Space();
        if (FAt != FText.size()) Fail("text after the value");
        return V;
    }

private:
    [[noreturn]] void Fail(const std::string& What) {
        throw std::runtime_error("JSON: " + What + " at offset " + std::to_string(FAt));
    }
    void Space() {
        while (FAt < FText.size() && std::string(" \t\r\n").find(FText[FAt]) != std::string::npos)
            ++FAt;
    }
    bool Take(char C) {
        Space();
        if (FAt < FText.size() && FText[FAt] == C) {
            ++FAt;
            return true;
        }
        return false;
    }
    void Expect(char C) {
        if (!Take(C)) Fail(std::string("'") + C + "' expected");
    }
    bool Word(const char* W) {
        const std::string S = W;
        if (FText.compare(FAt, S.size(), S) != 0) return false;
        FAt += S.size();
        return true;
    }

    std::string Str() {
        Expect('"');
        std::string R;
        while (true) {
            if (FAt >= FText.size()) Fail("unterminated string");
            char C = FText[FAt++];
            if (C == '"') return R;
            if (static_cast<unsigned char>(C) < 0x20) Fail("control character in a string");
            if (C != '\\') {
                R += C;
                continue;
            }
            if (FAt >= FText.size()) Fail("unterminated escape");
            char E = FText[FAt++];
            switch (E) {
            case '"':
            case '\\':
            case '/':
                R += E;
                break;
            case 'n':
                R += '\n';
                break;
            case 'r':
                R += '\r';
                break;
            case 't':
                R += '\t';
                break;
            case 'b':
                R += '\b';
                break;
            case 'f':
                R += '\f';
                break;
            case 'u': {
                if (FAt + 4 > FText.size()) Fail("short \\u escape");
                unsigned V = std::stoul(FText.substr(FAt, 4), nullptr, 16);
                FAt += 4;
                if (V >= 0x800) Fail("only \\u escapes below U+0800 are read here");
                if (V < 0x80) {
                    R += static_cast<char>(V);
                } else {
                    R += static_cast<char>(0xC0 | V >> 6);
                    R += static_cast<char>(0x80 | (V & 0x3F));
                }
                break;
            }
            default:
                Fail("bad escape");
            }
        }
    }

    TJson Value() {
        Space();
        if (FAt >= FText.size()) Fail("value expected");
        TJson V;
        char C = FText[FAt];
        if (C == '{') {
            ++FAt;
            V.Kind = TJson::Object;
            if (Take('}')) return V;
            do {
                Space();
                std::string Key = Str();
                Expect(':');
                if (!V.Members.emplace(Key, Value()).second) Fail("duplicate key " + Key);
            } while (Take(','));
            Expect('}');
        } else if (C == '[') {
            ++FAt;
            V.Kind = TJson::Array;
            if (Take(']')) return V;
            do V.Items.push_back(Value());
            while (Take(','));
            Expect(']');
        } else if (C == '"') {
            V.Kind = TJson::String;
            V.S = Str();
        } else if (Word("true") || Word("false")) {
            V.Kind = TJson::Bool;
            V.B = C == 't';
        } else if (Word("null")) {
            V.Kind = TJson::Null;
        } else if (C == '-' || (C >= '0' && C <= '9')) {
            size_t Used = 0;
            V.Kind = TJson::Number;
            V.N = std::stod(FText.substr(FAt), &Used);
            FAt += Used;
        } else {
            Fail("value expected");
        }
        return V;
    }

    const std::string& FText;
    size_t FAt = 0;
};

} // namespace

TJson ParseJson(const std::string& Text) {
    return TJsonReader(Text).Document();
}

} // namespace mv::clitest
