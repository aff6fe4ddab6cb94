// Fuzz target: raw request bytes through request-line parsing, path decoding,
// routing and the mapping onto the packages folder, and as a Range field's value.
//
// Invariants: nothing crashes or reads out of bounds; a decoded path is never
// longer than the path that came over the wire; every mapped path is the
// packages folder or lies below it, without "." or ".." segments; and every
// path that would be served (it exists) lies inside the packages folder on
// disk. The tree holds decoys beside the packages folder, one of them
// sharing its name as a prefix, so a confinement slip finds a real target.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzTree.h"
#include "common/Utf8.h"
#include "platform/RequestPathRules.h"
#include "server/ByteRange.h"
#include "server/FolderListing.h"
#include "server/RequestLine.h"
#include "server/RequestPath.h"
#include "server/RequestRouting.h"

namespace {

struct Tree {
    std::filesystem::path root;
    std::filesystem::path packages;
    std::filesystem::path packagesCanonical;
    std::wstring packagesFolder;  // with its trailing separator, as the listener is given it
};

Tree& TheTree() {
    static Tree tree = [] {
        Tree t;
        t.root = fuzz::MakeScratchFolder("request");
        t.packages = t.root / "packages";
        std::filesystem::create_directories(t.packages / "sub" / "deep");
        std::filesystem::create_directories(t.root / "packagesX");
        fuzz::WriteFile(t.packages / "a.zip", "a");
        fuzz::WriteFile(t.packages / "a b.zip", "ab");
        fuzz::WriteFile(t.packages / "p+q.zip", "pq");  // found by the reading that keeps the "+"
        fuzz::WriteFile(t.packages / "sub" / "b.msi", "b");
        fuzz::WriteFile(t.packages / "sub" / "deep" / "c.bin", "c");
        fuzz::WriteFile(t.packages / "sub" / "deep" / "\xC3\xA9t\xC3\xA9.zip", "e");
        fuzz::WriteFile(t.root / "secret.txt", "outside");
        fuzz::WriteFile(t.root / "packagesX" / "secret.txt", "outside");
        t.packagesCanonical = std::filesystem::canonical(t.packages);
        t.packagesFolder = fuzz::WideOf(t.packages) + plat::PathSeparator();
        return t;
    }();
    return tree;
}

// A mapped path: the packages folder or below it, lexically.
void CheckMapped(const Tree& tree, const std::wstring& fullPath) {
    const std::wstring base = tree.packagesFolder.substr(0, tree.packagesFolder.size() - 1);
    if (fullPath.compare(0, base.size(), base) != 0) fuzz::Violation("mapped path leaves the packages folder", fullPath);
    const std::wstring rest = fullPath.substr(base.size());
    if (!rest.empty() && rest[0] != plat::PathSeparator())
        fuzz::Violation("mapped path is a sibling of the packages folder", fullPath);
    for (std::size_t i = 0; i < rest.size();) {
        std::size_t next = rest.find(plat::PathSeparator(), i + 1);
        if (next == std::wstring::npos) next = rest.size();
        const std::wstring segment = rest.substr(i + 1, next - i - 1);
        if (i < rest.size() && (segment.empty() || segment == L"." || segment == L".."))
            fuzz::Violation("mapped path keeps an empty, . or .. segment", fullPath);
        i = next;
    }
    if (fullPath.find(L'\0') != std::wstring::npos) fuzz::Violation("mapped path holds NUL", fullPath);
}

// A path that passed the existence check, as the server would open or list it.
void CheckServed(const Tree& tree, const std::wstring& fullPath) {
    CheckMapped(tree, fullPath);
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::canonical(fuzz::PathOf(fullPath), error);
    if (error) return;  // gone or unreadable: the server answers 404
    if (!fuzz::IsWithin(canonical, tree.packagesCanonical))
        fuzz::Violation("served path lies outside the packages folder", fullPath);
}

// The server's routing, without opening anything: what it would list or
// send must lie inside the packages folder.
void Route(Tree& tree, const std::wstring& method, const std::wstring& rawPath) {
    RoutingPolicy policy;
    policy.mayOpenPackage = false;  // a package found is answered Deferred, with its full path
    const RoutedReply reply = RouteRequest(method, rawPath, RangeFields{}, tree.packagesFolder, policy);
    if (const auto* listing = std::get_if<RoutedListing>(&reply)) {
        CheckServed(tree, listing->folder);
        const std::wstring xml = BuildFolderXml(0, listing->folder, kFolderListingDepthLimit);
        if (xml.rfind(L"<Folder Name=\"", 0) != 0) fuzz::Violation("listing without its Folder element", listing->folder);
    } else if (const auto* deferred = std::get_if<RoutedDeferredPackage>(&reply)) {
        CheckServed(tree, deferred->fullPath);
    } else if (std::holds_alternative<RoutedFile>(reply)) {
        fuzz::Violation("a package was opened although routing was told not to", rawPath);
    }
}

}  // namespace

// The same bytes as a Range field's value: whatever it says, the part chosen
// lies within the file, and a part is never empty.
void CheckRange(std::string_view value) {
    const RequestedByteRange asked = ParseByteRangeField(value);
    for (const std::uint64_t fileSize : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1000}, ~std::uint64_t{0} >> 1}) {
        const ByteRangePart part = SelectByteRange(asked, fileSize);
        if (part.verdict != ByteRangePart::Verdict::Part) continue;
        if (part.length == 0 || part.first >= fileSize || part.length > fileSize - part.first)
            fuzz::Violation("a byte range outside its file", std::wstring(value.begin(), value.end()));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Tree& tree = TheTree();
    const std::string_view request(reinterpret_cast<const char*>(data), size);
    CheckRange(request);

    RequestLine line;
    if (!ParseRequestLine(request, line)) return 0;
    if (line.method.empty()) fuzz::Violation("a parsed request line without a method", line.path);
    for (const std::wstring* word : {&line.method, &line.path}) {
        for (wchar_t c : *word) {
            if (c == L' ' || c == L'\r' || c == L'\n' || c == L'\0' || static_cast<unsigned>(c) > 0xFF)
                fuzz::Violation("a request word holds a separator or a non-byte", *word);
        }
    }

    std::wstring path = line.path;
    const std::size_t wireLength = path.size();
    const bool validText = UrlDecodePath(path);
    if (path.size() > wireLength) fuzz::Violation("decoding made the path longer", path);
    if (validText) {
        // The mapping on its own, for every decoded path.
        std::wstring mapped;
        if (MapRequestPath(tree.packagesFolder, path, mapped) == RequestPathVerdict::Mapped)
            CheckMapped(tree, mapped);
        else if (!mapped.empty())
            fuzz::Violation("a refused path left a mapping behind", mapped);
    }
    Route(tree, line.method, line.path);
    return 0;
}
