/*
 * Volume-relative paths, as messages to the service carry them: views into
 * a normalized name without its volume component, never terminated.
 */
#include "Harness.h"

using namespace zentaflt_test;

namespace {

struct ParsedName {
    explicit ParsedName(const std::u16string &Full, size_t VolumeUnits) : Text(Full)
    {
        Name.Buffer = (PWSTR)Text.data();
        Name.Length = (USHORT)(Text.size() * sizeof(WCHAR));
        Name.MaximumLength = (USHORT)(Name.Length + sizeof(WCHAR));
        VolumeLength = (USHORT)(VolumeUnits * sizeof(WCHAR));
    }

    std::u16string Text;
    UNICODE_STRING Name;
    USHORT VolumeLength;
};

const std::u16string Volume = u"\\Device\\HarddiskVolume1";

TEST(VolumeRelativePath, StartsAtTheBackslashAfterTheVolume)
{
    ParsedName File(Volume + u"\\Docs\\Report.docx", Volume.size());
    UNICODE_STRING Path;
    StripVolumePrefix(File.VolumeLength, &File.Name, &Path);

    EXPECT_EQ(Narrow(Path), "\\Docs\\Report.docx");
    EXPECT_EQ(Path.Length, 34);
    EXPECT_EQ(Path.Buffer, File.Name.Buffer + Volume.size());
    /* A view: it keeps the name's maximum length and copies nothing. */
    EXPECT_EQ(Path.MaximumLength, File.Name.MaximumLength);
}

TEST(VolumeRelativePath, OfAFileAtTheVolumeRootIsABackslashAndItsName)
{
    ParsedName File(Volume + u"\\a.txt", Volume.size());
    UNICODE_STRING Path;
    StripVolumePrefix(File.VolumeLength, &File.Name, &Path);
    EXPECT_EQ(Narrow(Path), "\\a.txt");
    EXPECT_EQ(Path.Length, 12);

    ParsedName RootDirectory(Volume + u"\\", Volume.size());
    StripVolumePrefix(RootDirectory.VolumeLength, &RootDirectory.Name, &Path);
    EXPECT_EQ(Narrow(Path), "\\");
}

TEST(VolumeRelativePath, EndsWhereTheNameEnds)
{
    /* The name is counted: whatever lies in the buffer after it is not part
       of the path. */
    ParsedName File(Volume + u"\\a.txt:extra", Volume.size());
    File.Name.Length = (USHORT)((Volume.size() + 6) * sizeof(WCHAR));
    UNICODE_STRING Path;
    StripVolumePrefix(File.VolumeLength, &File.Name, &Path);
    EXPECT_EQ(Narrow(Path), "\\a.txt");
}

}  // namespace
