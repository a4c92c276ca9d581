// The Debian package that cpack makes from the built programs (the
// package_build test makes it before these run), read back with dpkg-deb:
// what it installs, what it declares, and that its desktop files agree.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace lumigrab {
namespace {

namespace fs = std::filesystem;

const fs::path PackageFolder = LUMIGRAB_PACKAGE_DIR;
const std::string PackageVersion = LUMIGRAB_PACKAGE_VERSION;

// The standard output of a shell command that must succeed.
std::string Shell(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return out;
    }
    char buffer[4096];
    while (size_t count = fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, count);
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
    return out;
}

std::string Trimmed(std::string text)
{
    const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    text.erase(text.begin(), std::find_if(text.begin(), text.end(), notSpace));
    text.erase(std::find_if(text.rbegin(), text.rend(), notSpace).base(), text.end());
    return text;
}

std::string Quoted(const fs::path& path)
{
    std::string quoted = path.string();
    quoted.insert(0, 1, '\'');
    return quoted += '\'';
}

// The one package the build test left, or an empty path.
fs::path PackageFile()
{
    std::vector<fs::path> packages;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(PackageFolder, error))
        if (entry.path().extension() == ".deb")
            packages.push_back(entry.path());
    EXPECT_EQ(packages.size(), 1u) << "packages in " << PackageFolder;
    return packages.size() == 1 ? packages.front() : fs::path();
}

std::string Field(const std::string& name)
{
    return Trimmed(Shell("dpkg-deb -f " + Quoted(PackageFile()) + " " + name));
}

// The package names a relation field lists, alternatives included,
// without their versions.
std::set<std::string> NamesIn(const std::string& relations)
{
    std::set<std::string> names;
    static const std::regex name(R"((?:^|[,|])\s*([a-z0-9][a-z0-9+.-]+))");
    for (std::sregex_iterator it(relations.begin(), relations.end(), name), end; it != end; ++it)
        names.insert((*it)[1]);
    return names;
}

// Path (as tar lists it, "./usr/...") to mode ("-rwxr-xr-x"), for every
// entry that is not a folder.
std::map<std::string, std::string> PackagedFiles()
{
    std::map<std::string, std::string> files;
    std::istringstream listing(Shell("dpkg-deb -c " + Quoted(PackageFile())));
    for (std::string line; std::getline(listing, line);) {
        std::istringstream fields(line);
        std::string mode, owner, size, date, time, path;
        fields >> mode >> owner >> size >> date >> time >> path;
        if (!path.empty() && !mode.starts_with('d'))
            files[path] = mode;
    }
    return files;
}

std::string PackagedText(const std::string& path)
{
    return Shell("dpkg-deb --fsys-tarfile " + Quoted(PackageFile()) + " | tar -xOf - " + path);
}

// The first group of pattern's first match in text, or "".
std::string Value(const std::string& text, const std::string& pattern)
{
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : std::string();
}

TEST(Package, IsNamedAfterItsVersionAndArchitecture)
{
    const std::string architecture = Trimmed(Shell("dpkg --print-architecture"));
    EXPECT_EQ(PackageFile().filename().string(), "lumigrab_" + PackageVersion + "_" + architecture + ".deb");
    EXPECT_EQ(Field("Architecture"), architecture);
}

// The three programs and the desktop files, nothing else: no test program,
// benchmark, static library or header, and nothing outside /usr.
TEST(Package, InstallsTheProgramsAndDesktopFilesOnly)
{
    const std::map<std::string, std::string> expected = {
        { "./usr/bin/lumigrab", "-rwxr-xr-x" },
        { "./usr/bin/lumigrab-decode", "-rwxr-xr-x" },
        { "./usr/bin/lumigrab-harvest", "-rwxr-xr-x" },
        { "./usr/share/applications/org.example.lumigrab.Lumigrab.desktop", "-rw-r--r--" },
        { "./usr/share/icons/hicolor/scalable/apps/lumigrab.svg", "-rw-r--r--" },
        { "./usr/share/metainfo/org.example.lumigrab.Lumigrab.metainfo.xml", "-rw-r--r--" },
    };
    EXPECT_EQ(PackagedFiles(), expected);
}

struct FieldCase {
    const char* field;
    std::string pattern;
};

void PrintTo(const FieldCase& c, std::ostream* out)
{
    *out << c.field;
}

class PackageField : public ::testing::TestWithParam<FieldCase> { };

TEST_P(PackageField, MatchesTheProject)
{
    const FieldCase& c = GetParam();
    EXPECT_TRUE(std::regex_match(Field(c.field), std::regex(c.pattern))) << c.field << ": " << Field(c.field);
}

// Test names from a case's words: letters and digits, the rest as '_'.
std::string CaseName(std::string words)
{
    std::replace_if(
        words.begin(), words.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
    return words;
}

INSTANTIATE_TEST_SUITE_P(Control, PackageField,
    ::testing::Values(FieldCase { "Package", "lumigrab" }, FieldCase { "Version", PackageVersion },
        FieldCase { "Section", "graphics" }, FieldCase { "Priority", "optional" },
        FieldCase { "Maintainer", "The Lumigrab developers <[^@ ]+@[^> ]+>" },
        FieldCase { "Homepage", LUMIGRAB_PACKAGE_HOMEPAGE },
        // A summary line, then the long description, each line indented.
        FieldCase { "Description", "Picture browser for Usenet\n( \\S.*\n)* \\S.*" }),
    [](const auto& info) { return CaseName(info.param.field); });

struct RelationCase {
    const char* field;
    const char* package;
};

void PrintTo(const RelationCase& c, std::ostream* out)
{
    *out << c.field << ": " << c.package;
}

class PackageRelation : public ::testing::TestWithParam<RelationCase> { };

TEST_P(PackageRelation, IsDeclared)
{
    const RelationCase& c = GetParam();
    const std::string relations = Field(c.field);
    EXPECT_TRUE(NamesIn(relations).contains(c.package)) << c.field << ": " << relations;
}

// What the programs link (found by dpkg-shlibdeps), what Qt loads at run
// time (the image readers), and what TLS and Wayland sessions want.
INSTANTIATE_TEST_SUITE_P(Relations, PackageRelation,
    ::testing::Values(RelationCase { "Depends", "libqt6core6" }, RelationCase { "Depends", "libqt6gui6" },
        RelationCase { "Depends", "libqt6widgets6" }, RelationCase { "Depends", "libqt6keychain1" },
        RelationCase { "Depends", "libssl3" }, RelationCase { "Depends", "libstdc++6" },
        RelationCase { "Depends", "libc6" }, RelationCase { "Depends", "qt6-image-formats-plugins" },
        RelationCase { "Recommends", "ca-certificates" }, RelationCase { "Recommends", "qt6-wayland" }),
    [](const auto& info) { return CaseName(std::string(info.param.field) + "_" + info.param.package); });

TEST(Package, DependsOnNoDevelopmentPackage)
{
    for (const std::string& name : NamesIn(Field("Depends")))
        EXPECT_FALSE(name.ends_with("-dev")) << name;
}

// The metainfo names the desktop entry, which names a packaged program and
// icon.
TEST(Package, DesktopFilesAgreeWithEachOther)
{
    const std::map<std::string, std::string> files = PackagedFiles();
    const std::string metainfo = PackagedText("./usr/share/metainfo/org.example.lumigrab.Lumigrab.metainfo.xml");
    const std::string id = Value(metainfo, "<id>([^<]+)</id>");
    EXPECT_EQ(Value(metainfo, "<launchable type=\"desktop-id\">([^<]+)</launchable>"), id + ".desktop");
    EXPECT_EQ(Value(metainfo, "<release version=\"([^\"]+)\""), PackageVersion);

    const std::string desktopPath = "./usr/share/applications/" + id + ".desktop";
    ASSERT_TRUE(files.contains(desktopPath)) << desktopPath;
    const std::string desktop = PackagedText(desktopPath);
    const std::string program = "./usr/bin/" + Value(desktop, "\nExec=(\\S+)");
    EXPECT_TRUE(files.contains(program)) << program;
    EXPECT_TRUE(files.contains(
        "./usr/share/icons/hicolor/scalable/apps/" + Value(desktop, "\nIcon=(\\S+)") + ".svg"));
}

// Installed in /usr/bin, the harvest tool cannot keep its pictures beside
// itself (a user may not write there, root should not): without --folder it
// keeps them where the window does. The package is unpacked beside it; the
// server on port 1 refuses at once.
TEST(Package, InstalledHarvestKeepsPicturesInTheUserDataFolder)
{
    const fs::path root = PackageFolder / "unpacked";
    fs::remove_all(root);
    Shell("dpkg-deb -x " + Quoted(PackageFile()) + " " + Quoted(root));
    const fs::path dataHome = root / "data";
    Shell("XDG_DATA_HOME=" + Quoted(dataHome) + " " + Quoted(root / "usr/bin/lumigrab-harvest")
        + " --server 127.0.0.1:1 --group alt.binaries.pictures >/dev/null 2>&1; true");
    EXPECT_TRUE(fs::is_directory(dataHome / "Lumigrab/TEMP"));
    EXPECT_FALSE(fs::exists(root / "usr/bin/TEMP"));
    fs::remove_all(root);
}

} // namespace
} // namespace lumigrab
