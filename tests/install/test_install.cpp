// The installed library as a user meets it: `cmake --install` into a scratch prefix (in this
// process's private /tmp), then a consumer built with find_package and with pkg-config, run in
// this test's namespaces, and the dynamic symbol table of the installed library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/zqtest.h"

namespace {

constexpr int BUILD_TIMEOUT_MS = 100000;
constexpr int RUN_TIMEOUT_MS = 20000;

const std::string LIBDIR = ZQ_INSTALL_LIBDIR;
const std::string INCLUDEDIR = ZQ_INSTALL_INCLUDEDIR;
const std::string VERSION = ZQ_PROJECT_VERSION;
const std::string SANITIZER_FLAGS = ZQ_SANITIZER_FLAGS;

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string linkTarget(const std::string& path)
{
    char buf[256];
    ssize_t n = readlink(path.c_str(), buf, sizeof(buf) - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

std::vector<std::string> words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

class InstallNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        char tmpl[] = "/tmp/zqinstall.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        m_prefix = m_root + "/prefix";
        std::string out;
        ASSERT_EQ(zqtest::runCommand({ZQ_CMAKE_COMMAND, "--install", ZQ_BUILD_DIR, "--prefix", m_prefix},
                                     BUILD_TIMEOUT_MS, &out),
                  0)
            << out;
        m_lib = m_prefix + "/" + LIBDIR + "/libzqdds.so." + VERSION;
    }

    void TearDown() override
    {
        if (!m_root.empty()) {
            EXPECT_EQ(zqtest::runCommand({"rm", "-rf", m_root}), 0);
        }
    }

    // Runs a consumer in this test's namespaces; its exit code, with its output in `out`.
    static int runConsumer(const std::string& path, std::string* out)
    {
        auto child = zqtest::ChildProcess::spawn({path}, out);
        if (!child) {
            return -1;
        }
        child->wait(RUN_TIMEOUT_MS);
        *out = child->output();
        return child->exitCode();
    }

    // What a consumer prints when it ran against this library.
    static void expectConsumerRan(const std::string& out)
    {
        // The green start-up line carries the library's version; the build date follows it.
        EXPECT_NE(out.find("\033[32m[DDS] VERSION: V" + VERSION + ", compiled on "), std::string::npos) << out;
        EXPECT_NE(out.find("consumer: domain 66, topic named yes, info -1, deleted 0"), std::string::npos) << out;
    }

    // Configures the consumer project against the prefix; the exit code of the configure step.
    int configureConsumer(const std::string& buildDir, const std::string& wantVersion, std::string* out)
    {
        std::vector<std::string> argv{
            ZQ_CMAKE_COMMAND, "-S", ZQ_CONSUMER_DIR, "-B", buildDir, "-DCMAKE_PREFIX_PATH=" + m_prefix,
            "-DCMAKE_CXX_COMPILER=" ZQ_CXX_COMPILER, "-DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON",
            // A consumer must not need the library's private dependency.
            "-DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON", "-DZQ_WANT_VERSION=" + wantVersion};
        if (!SANITIZER_FLAGS.empty()) {
            argv.push_back("-DCMAKE_CXX_FLAGS=" + SANITIZER_FLAGS);
            argv.push_back("-DCMAKE_EXE_LINKER_FLAGS=" + SANITIZER_FLAGS);
        }
        return zqtest::runCommand(argv, BUILD_TIMEOUT_MS, out);
    }

    std::string m_root;
    std::string m_prefix;
    std::string m_lib;
};

TEST_F(InstallNsTest, PutsHeadersLibraryAndPackageFilesUnderThePrefix)
{
    for (const char* header : {"participant.h", "topic.h", "publisher.h", "subscriber.h", "data_writer.h",
                               "data_reader.h", "dds_types.h", "zqdds_export.h"}) {
        EXPECT_TRUE(exists(m_prefix + "/" + INCLUDEDIR + "/zqdds/" + header)) << header;
    }
    const std::string libdir = m_prefix + "/" + LIBDIR;
    EXPECT_TRUE(exists(m_lib));
    EXPECT_EQ(linkTarget(libdir + "/libzqdds.so.2"), "libzqdds.so." + VERSION);
    EXPECT_EQ(linkTarget(libdir + "/libzqdds.so"), "libzqdds.so.2");
    for (const char* file : {"cmake/zqdds/zqddsConfig.cmake", "cmake/zqdds/zqddsConfigVersion.cmake",
                             "cmake/zqdds/zqddsTargets.cmake", "pkgconfig/zqdds.pc"}) {
        EXPECT_TRUE(exists(libdir + "/" + file)) << file;
    }

    std::string out;
    ASSERT_EQ(zqtest::runCommand({"readelf", "-d", m_lib}, RUN_TIMEOUT_MS, &out), 0) << out;
    EXPECT_NE(out.find("Library soname: [libzqdds.so.2]"), std::string::npos) << out;
}

TEST_F(InstallNsTest, FindPackageConsumerBuildsAndRuns)
{
    const std::string build = m_root + "/consumer-cmake";
    std::string out;
    ASSERT_EQ(configureConsumer(build, "2", &out), 0) << out;
    ASSERT_EQ(zqtest::runCommand({ZQ_CMAKE_COMMAND, "--build", build}, BUILD_TIMEOUT_MS, &out), 0) << out;

    ASSERT_EQ(runConsumer(build + "/consumer", &out), 0) << out;
    expectConsumerRan(out);
}

TEST_F(InstallNsTest, FindPackageRefusesAnotherMajorVersion)
{
    std::string out;
    EXPECT_NE(configureConsumer(m_root + "/consumer-v3", "3", &out), 0) << out;
    EXPECT_NE(out.find("requested version \"3\""), std::string::npos) << out;
    EXPECT_NE(out.find("version: " + VERSION), std::string::npos) << out;
}

TEST_F(InstallNsTest, PkgConfigConsumerBuildsAndRuns)
{
    const std::string pcPath = "PKG_CONFIG_PATH=" + m_prefix + "/" + LIBDIR + "/pkgconfig";
    std::string version;
    ASSERT_EQ(zqtest::runCommand({"env", pcPath, "pkg-config", "--modversion", "zqdds"}, RUN_TIMEOUT_MS, &version), 0)
        << version;
    EXPECT_EQ(words(version), std::vector<std::string>{VERSION});
    std::string flags;
    ASSERT_EQ(zqtest::runCommand({"env", pcPath, "pkg-config", "--cflags", "--libs", "zqdds"}, RUN_TIMEOUT_MS, &flags),
              0)
        << flags;

    const std::string exe = m_root + "/consumer-pc";
    std::vector<std::string> argv{ZQ_CXX_COMPILER, "-std=c++17", "-o", exe,
                                  std::string(ZQ_CONSUMER_DIR) + "/consumer.cpp"};
    for (const std::string& w : words(flags)) {
        argv.push_back(w);
    }
    // The scratch prefix is not on the loader's path.
    argv.push_back("-Wl,-rpath," + m_prefix + "/" + LIBDIR);
    for (const std::string& w : words(SANITIZER_FLAGS)) {
        argv.push_back(w);
    }
    std::string out;
    ASSERT_EQ(zqtest::runCommand(argv, BUILD_TIMEOUT_MS, &out), 0) << out;

    ASSERT_EQ(runConsumer(exe, &out), 0) << out;
    expectConsumerRan(out);
}

// The block of `lang` that follows `from` in `text` (its lines, without the fences); empty when
// there is none.
std::string fencedBlock(const std::string& text, const std::string& from, const std::string& lang)
{
    size_t start = text.find(from);
    if (start == std::string::npos) {
        return std::string();
    }
    const std::string open = "\n```" + lang + "\n";
    start = text.find(open, start);
    if (start == std::string::npos) {
        return std::string();
    }
    start += open.size();
    size_t end = text.find("\n```\n", start);
    return end == std::string::npos ? std::string() : text.substr(start, end - start + 1);
}

// The README's Quick start as a new user takes it: the program and the commands printed there,
// run from an empty folder against the installed copy (found through PKG_CONFIG_PATH and
// LD_LIBRARY_PATH, as the README says for a prefix the loader does not search).
TEST_F(InstallNsTest, QuickStartOfTheReadmeBuildsAndRunsFromAnEmptyFolder)
{
    std::ifstream in(ZQ_README_FILE);
    ASSERT_TRUE(in) << ZQ_README_FILE;
    const std::string readme((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string program = fencedBlock(readme, "## Quick start", "cpp");
    ASSERT_FALSE(program.empty()) << "no C++ block under \"## Quick start\"";
    const std::string afterProgram = readme.substr(readme.find(program) + program.size());
    std::string commands = fencedBlock(afterProgram, "", "sh");
    ASSERT_NE(commands.find("g++ "), std::string::npos) << commands;
    if (!SANITIZER_FLAGS.empty()) {
        // The instrumented library needs its runtime in the program too.
        commands.replace(commands.find("g++ "), 4, "g++ " + SANITIZER_FLAGS + " ");
    }

    const std::string folder = m_root + "/empty";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    std::ofstream(folder + "/hello.cpp") << program;
    const std::string libdir = m_prefix + "/" + LIBDIR;
    std::string out;
    const int rc = zqtest::runCommand({"env", "PKG_CONFIG_PATH=" + libdir + "/pkgconfig", "LD_LIBRARY_PATH=" + libdir,
                                       "sh", "-ec", "cd '" + folder + "'\n" + commands},
                                      BUILD_TIMEOUT_MS, &out);
    EXPECT_EQ(rc, 0) << commands << out;
    EXPECT_NE(out.find("hello: received \"hello\""), std::string::npos) << out;
}

TEST_F(InstallNsTest, DynamicSymbolTableHoldsOnlyThePublicClasses)
{
    std::string out;
    ASSERT_EQ(zqtest::runCommand({"nm", "-D", "--defined-only", "-C", m_lib}, RUN_TIMEOUT_MS, &out), 0) << out;

    const std::string classes = "(CParticipant|CTopicDesc|CTopic|CPublisher|CSubscriber|CDataWriter|CDataReader)";
    const std::regex allowed("^[0-9a-f]+ [TWV] (" + classes + "::.*|(vtable|typeinfo|typeinfo name) for " + classes +
                             ")$");
    std::istringstream lines(out);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) {
            continue;
        }
        ++count;
        EXPECT_TRUE(std::regex_match(line, allowed)) << "exported: " << line;
    }
    for (const char* symbol :
         {" CParticipant::createTopic(", " CDataWriter::write(void*, int)", " CDataReader::registerUserDataCallBack(",
          " typeinfo for CTopic\n", " vtable for CDataReader\n"}) {
        EXPECT_NE(out.find(symbol), std::string::npos) << symbol;
    }
    EXPECT_GT(count, 30);
}

// A user who only wants the library has no GoogleTest: the configure still succeeds, says once
// that the tests are left out, and sets up no tests.
TEST(ConfigureTest, SucceedsWithoutGoogleTestAndLeavesTheTestsOut)
{
    char tmpl[] = "/tmp/zqconfigure.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    std::string out;
    const int rc =
        zqtest::runCommand({ZQ_CMAKE_COMMAND, "-S", ZQ_SOURCE_DIR, "-B", dir, "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON",
                            "-DZQDDS_BUILD_BENCH=OFF", "-DZQDDS_BUILD_EXAMPLES=OFF"},
                           BUILD_TIMEOUT_MS, &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(
        out.find("-- GoogleTest not found: tests not built (install libgtest-dev and libgmock-dev to build them)"),
        std::string::npos)
        << out;
    EXPECT_FALSE(exists(dir + "/CTestTestfile.cmake"));
    EXPECT_TRUE(exists(dir + "/Makefile") || exists(dir + "/build.ninja")) << out;
    EXPECT_EQ(zqtest::runCommand({"rm", "-rf", dir}), 0);
}

} // namespace
