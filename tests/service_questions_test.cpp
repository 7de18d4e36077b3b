/*
 * The service library's side of the questions: which messages are
 * questions, how each is decoded, and the default policy.  The answers
 * travelling through the port are tested with the guards
 * (intercept_guards_test.cpp).
 */
#include <gtest/gtest.h>

#include <memory>
#include <string.h>

#include "ServiceClient.h"

namespace {

namespace service = zentaflt::service;

std::unique_ptr<SERVICE_MESSAGE> MessageOf(ULONG Type)
{
    auto Message = std::make_unique<SERVICE_MESSAGE>();
    memset(Message.get(), 0, sizeof(SERVICE_MESSAGE));
    Message->MessageType = Type;
    const char16_t Volume[] = u"\\\\?\\Volume{1}\\";
    memcpy(Message->VolumePath, Volume, sizeof(Volume) - 2);
    const char16_t Path[] = u"\\Sync\\Dir";
    memcpy(Message->Path, Path, sizeof(Path) - 2);
    return Message;
}

TEST(ServiceQuestions, OnlyTheThreeQuestionsDecode)
{
    for (ULONG Type : {0u, 33u, (ULONG)MessageTypeHydrate, 38u, 0xFFFFFFFFu}) {
        auto Message = MessageOf(Type);
        EXPECT_FALSE(service::IsQuestion(*Message)) << Type;
        service::Question Out;
        Out.Path = u"untouched";
        EXPECT_EQ(service::DecodeQuestion(*Message, &Out), E_INVALIDARG) << Type;
        EXPECT_EQ(Out.Path, u"untouched");
    }
    /* A hydrate request is not answered: nothing goes to the port. */
    auto Received = std::make_unique<service::ReceivedMessage>();
    memset(Received.get(), 0, sizeof(service::ReceivedMessage));
    Received->Message.MessageType = MessageTypeHydrate;
    bool Asked = false;
    service::ServiceConnection Unconnected;
    EXPECT_EQ(service::AnswerQuestion(Unconnected, *Received,
                                      [&](const service::Question &) {
                                          Asked = true;
                                          return (SERVICE_REPLY)0;
                                      }),
              E_INVALIDARG);
    EXPECT_FALSE(Asked);

    auto Message = MessageOf(MessageTypeDeleteDirectory);
    EXPECT_TRUE(service::IsQuestion(*Message));
    EXPECT_EQ(service::DecodeQuestion(*Message, nullptr), E_INVALIDARG);
}

TEST(ServiceQuestions, EachQuestionDecodesItsOwnFields)
{
    const char16_t Destination[] = u"\\Outside\\Dir";

    auto Delete = MessageOf(MessageTypeDeleteDirectory);
    service::Question Out;
    ASSERT_EQ(service::DecodeQuestion(*Delete, &Out), S_OK);
    EXPECT_EQ(Out.Kind, service::QuestionKind::DeleteDirectory);
    EXPECT_EQ(Out.VolumePath, u"\\\\?\\Volume{1}\\");
    EXPECT_EQ(Out.Path, u"\\Sync\\Dir");
    EXPECT_TRUE(Out.DestinationPath.empty());
    EXPECT_TRUE(Out.ReparseData.empty());

    auto Rename = MessageOf(MessageTypeRenameDirectory);
    memcpy(Rename->RenameDirectory.DestinationPath, Destination, sizeof(Destination) - 2);
    ASSERT_EQ(service::DecodeQuestion(*Rename, &Out), S_OK);
    EXPECT_EQ(Out.Kind, service::QuestionKind::RenameDirectory);
    EXPECT_EQ(Out.DestinationPath, u"\\Outside\\Dir");
    EXPECT_TRUE(Out.ReparseData.empty());

    /* A move carries reparse data by its length, never past the field. */
    auto Move = MessageOf(MessageTypeMoveFileOut);
    memcpy(Move->MoveFileOut.DestinationPath, Destination, sizeof(Destination) - 2);
    memset(Move->MoveFileOut.ReparseData, 0xAB, sizeof(Move->MoveFileOut.ReparseData));
    Move->MoveFileOut.ReparseDataLength = 3;
    ASSERT_EQ(service::DecodeQuestion(*Move, &Out), S_OK);
    EXPECT_EQ(Out.Kind, service::QuestionKind::MoveFileOut);
    EXPECT_EQ(Out.DestinationPath, u"\\Outside\\Dir");
    EXPECT_EQ(Out.ReparseData, (std::vector<unsigned char>{0xAB, 0xAB, 0xAB}));
    Move->MoveFileOut.ReparseDataLength = 0xFFFF;
    ASSERT_EQ(service::DecodeQuestion(*Move, &Out), S_OK);
    EXPECT_EQ(Out.ReparseData.size(), (size_t)ServiceReparseDataSize);
}

TEST(ServiceQuestions, TheDefaultPolicyConsentsToEverything)
{
    for (service::QuestionKind Kind : {service::QuestionKind::DeleteDirectory, service::QuestionKind::RenameDirectory,
                                       service::QuestionKind::MoveFileOut}) {
        service::Question Asked{Kind, u"v", u"\\p", u"\\d", {1}};
        SERVICE_REPLY Reply = service::AllowEverything(Asked);
        EXPECT_NE(Reply, (SERVICE_REPLY)ReplyDeny);
        EXPECT_NE(Reply, (SERVICE_REPLY)ReplyHydrateFirst);
    }
}

}  // namespace
