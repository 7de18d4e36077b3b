/*
 * The service library's hydration side: how a file's data is cut into
 * pieces that the filter stores exactly (every piece starts at a multiple
 * of 4096, every piece but the last is a multiple of 4096 long), and a
 * transfer failure that fails the hydration.
 */
#include "HydrationFixture.h"

using namespace zentaflt_test;

namespace {

TEST(ServicePieces, EveryPieceStartsOnAPageAndAllButTheLastAreWholePages)
{
    for (ULONGLONG Size : {0ULL, 1ULL, 4095ULL, 4096ULL, 4097ULL, 10000ULL, 5000000ULL, (1ULL << 33) + 17}) {
        for (ULONG PieceSize : {1u, 4096u, 10000u, 1048576u}) {
            ULONGLONG Offset = 0;
            int Pieces = 0;
            while (Offset < Size && Pieces < 100000) {
                ULONG Length = service::PieceLength(Size, Offset, PieceSize);
                ASSERT_GT(Length, 0u);
                EXPECT_EQ(Offset % service::TransferUnit, 0u);
                if (Offset + Length < Size) {
                    EXPECT_EQ(Length % service::TransferUnit, 0u) << Size << " " << PieceSize;
                }
                EXPECT_LE(Length, PieceSize < 4096 ? 4096u : PieceSize);
                Offset += Length;
                Pieces += 1;
            }
            if (Size < (1ULL << 30)) {
                EXPECT_EQ(Offset, Size);
            }
        }
    }
    EXPECT_EQ(service::PieceLength(10000, 8192, 1048576), 1808u);
    EXPECT_EQ(service::PieceLength(10000, 0, 10000), 8192u);
    EXPECT_EQ(service::PieceLength(10000, 10000, 4096), 0u);
}

TEST_F(HydrationTest, ATransferTheFilterRefusesFailsTheHydration)
{
    Service->Hold = true;
    MakePlaceholder(L"C:\\Sync\\refused.bin", Content(9000));
    HANDLE File = OpenInProgram(L"C:\\Sync\\refused.bin", GENERIC_READ);
    NTSTATUS Status = STATUS_PENDING;
    std::thread Reader([&] { ReadAt(File, 0, 10, &Status); });
    ASSERT_TRUE(Service->WaitForMessages(1));
    System->Faults().Arm("FltWriteFileEx", STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_NE(Service->Serve(Service->Messages()[0]), S_OK);
    Reader.join();
    /* The port hands the service a Win32 error, not the NTSTATUS: the
       hydration fails with STATUS_UNSUCCESSFUL. */
    EXPECT_EQ(Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateFailed);
}

}  // namespace
