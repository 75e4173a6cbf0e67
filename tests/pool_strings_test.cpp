// Hosted pool accounting and fault injection, debugger capture, and the
// counted-string routines with their whole-append rule.
#include "platform/hosted/hosted.h"

#include <gtest/gtest.h>

namespace {

constexpr ULONG Tag = hosted::PoolTag('W', 'd', 'm', ' ');

TEST(HostedPool, CountsAndInjectsFaults)
{
    hosted::Kernel kernel;
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 100, Tag);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(kernel.Pool().OutstandingBytes, 100u);

    kernel.FailNthAllocation(2);
    PVOID b = ExAllocatePoolWithTag(PagedPool, 10, Tag);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 10, Tag), nullptr);
    PVOID c = ExAllocatePoolWithTag(PagedPool, 10, Tag);
    EXPECT_NE(c, nullptr);

    kernel.FailAllocationsWithTag(hosted::PoolTag('X', 'y', 'z', ' '));
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, hosted::PoolTag('X', 'y', 'z', ' ')), nullptr);
    kernel.ClearAllocationFaults();

    ExFreePool(a);
    ExFreePoolWithTag(b, Tag);
    ExFreePool(c);
    hosted::PoolStats stats = kernel.Pool();
    EXPECT_EQ(stats.Allocations, 3u);
    EXPECT_EQ(stats.FailedAllocations, 2u);
    EXPECT_EQ(stats.OutstandingBlocks, 0u);
    EXPECT_EQ(stats.PeakBytes, 120u);
}

TEST(HostedDebugger, CapturesEachMessage)
{
    hosted::Kernel kernel;
    std::vector<std::string> sunk;
    kernel.SetDebugSink([&](const std::string& text) { sunk.push_back(text); });
    DbgPrint("%s", " Read Done !\n");
    DbgPrint("value %d\n", 7);
    EXPECT_EQ(kernel.DebugMessages(), (std::vector<std::string>{" Read Done !\n", "value 7\n"}));
    EXPECT_EQ(sunk.size(), 2u);
}

// DbgPrint is variadic in Windows' convention (on x86_64 the Microsoft one,
// whose argument list the C library cannot read): the kernel formats NT's
// conversions itself.
TEST(HostedDebugger, FormatsNtConversions)
{
    hosted::Kernel kernel;
    WCHAR name[] = u"COM1";
    UNICODE_STRING counted{6, sizeof name, name}; // "COM": the count, not the terminator
    char ansiText[] = "abcdef";
    ANSI_STRING ansi{2, sizeof ansiText, ansiText};
    DbgPrint("%s|%d|%i|%u|%x|%X|%08X|%5d|%-5d|%+d|%05d|%.3d|%o|%#x", "text", -12, 34, 4000000000u,
             0xbeefu, 0xbeefu, 0xab12u, 42, 42, 7, -42, 5, 8u, 255u);
    DbgPrint("%wZ|%Z|%ls|%ws|%S|%c|%C|%%|%.2s|%6s|%-6s|%*d|%I64d|%lld|%I64X", &counted, &ansi,
             u"wide", u"w\u00e9", u"up", 'c', u'W', "abc", "ab", "ab", 4, 9,
             static_cast<long long>(-1234567890123LL), 5LL,
             static_cast<unsigned long long>(0x123456789ABCULL));
    DbgPrint("%p|%s|%wZ|%Iu|%Ix|%ld", reinterpret_cast<void*>(0xABCDEF),
             static_cast<const char*>(nullptr), static_cast<PUNICODE_STRING>(nullptr), SIZE_T(77),
             ULONG_PTR(0xfe), LONG(-3));
    std::string address = sizeof(void*) == 8 ? "0000000000ABCDEF" : "00ABCDEF";
    EXPECT_EQ(kernel.DebugMessages(),
              (std::vector<std::string>{
                  "text|-12|34|4000000000|beef|BEEF|0000AB12|   42|42   |+7|-0042|005|10|0xff",
                  "COM|ab|wide|w?|up|c|W|%|ab|    ab|ab    |   9|-1234567890123|5|123456789ABC",
                  address + "|(null)|(null)|77|fe|-3"}));
}

TEST(CountedStrings, AppendsAreWholeOrNotAtAll)
{
    hosted::Kernel kernel;
    WCHAR storage[8];
    UNICODE_STRING s{0, sizeof storage, storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&s, u"\\Dev"), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 8);
    // Five more characters would need 18 bytes of a 16-byte buffer.
    EXPECT_EQ(RtlAppendUnicodeToString(&s, u"ice\\V"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.Length, 8);
    EXPECT_EQ(std::u16string(s.Buffer, s.Length / 2), u"\\Dev");
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, u"ice");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &tail), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(s.Buffer, s.Length / 2), u"\\Device");
    RtlInitUnicodeString(&tail, u"12");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &tail), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.Length, 14);
}

TEST(CountedStrings, IntegersAreDecimalAndComparisonsOrder)
{
    hosted::Kernel kernel;
    WCHAR digits[12];
    UNICODE_STRING number{0, sizeof digits, digits};
    EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 10, &number), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(number.Buffer, number.Length / 2), u"4294967295");
    UNICODE_STRING tiny{0, 2, digits};
    EXPECT_EQ(RtlIntegerToUnicodeString(12, 10, &tiny), STATUS_BUFFER_OVERFLOW);

    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, u"COM1");
    RtlInitUnicodeString(&b, u"com1");
    EXPECT_NE(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    RtlInitUnicodeString(&b, u"COM10");
    EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
}

TEST(CountedStrings, AnsiConversionsRoundTrip)
{
    hosted::Kernel kernel;
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "COM3");
    EXPECT_EQ(RtlxAnsiStringToUnicodeSize(&ansi), 10u);
    UNICODE_STRING wide;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(wide.Buffer, wide.Length / 2), u"COM3");
    ANSI_STRING back;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &wide, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(back.Buffer, back.Length), "COM3");
    RtlFreeUnicodeString(&wide);
    RtlFreeAnsiString(&back);

    WCHAR small[2];
    UNICODE_STRING fixed{0, sizeof small, small};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
}

} // namespace
