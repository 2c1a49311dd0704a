#include "fs/fs.h"
#include "update/checksum_list.h"

#include "tests/common/test_support.h"

#include <string>

namespace {

class HashFileSha256Test : public TempFolderTest {};

TEST_F(HashFileSha256Test, GivesTheDigestSha256sumPrints)
{
    const struct {
        std::string content;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // One read block and a bit: a block lost or read twice changes the digest.
        {std::string(1048576 + 5, 'v'), "4f9f193251995dda4fc3ef34d5ed5fbd03d3f3103e0fe89787d5bfcfd7d149c0"},
    };
    for (const auto& c : cases) {
        const std::wstring path = Path(L"file.bin");
        WriteFileBytes(path, c.content);
        Sha256Digest digest{};
        ASSERT_TRUE(HashFileSha256(path, digest)) << c.content.size() << " bytes";
        EXPECT_EQ(FormatDigestHex(digest), c.digest) << c.content.size() << " bytes";
    }
    Sha256Digest untouched{};
    EXPECT_FALSE(HashFileSha256(Path(L"missing.bin"), untouched));
}

} // namespace
