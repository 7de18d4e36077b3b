/*
 * Questions.cpp - the service's answers to the filter's three questions:
 * decoding a question and replying with what the service's policy says.
 */
#include "ServiceClient.h"

namespace zentaflt::service {

SERVICE_REPLY AllowEverything(const Question &)
{
    return 0;
}

bool IsQuestion(const SERVICE_MESSAGE &Message)
{
    switch (Message.MessageType) {
    case MessageTypeDeleteDirectory:
    case MessageTypeRenameDirectory:
    case MessageTypeMoveFileOut:
        return true;
    default:
        return false;
    }
}

HRESULT DecodeQuestion(const SERVICE_MESSAGE &Message, Question *Out)
{
    if (Out == nullptr) {
        return E_INVALIDARG;
    }
    Question Decoded;
    switch (Message.MessageType) {
    case MessageTypeDeleteDirectory:
        Decoded.Kind = QuestionKind::DeleteDirectory;
        break;
    case MessageTypeRenameDirectory:
        Decoded.Kind = QuestionKind::RenameDirectory;
        Decoded.DestinationPath = DestinationPathOf(Message);
        break;
    case MessageTypeMoveFileOut:
        Decoded.Kind = QuestionKind::MoveFileOut;
        Decoded.DestinationPath = DestinationPathOf(Message);
        Decoded.ReparseData = ReparseDataOf(Message);
        break;
    default:
        return E_INVALIDARG;
    }
    Decoded.VolumePath = VolumePathOf(Message);
    Decoded.Path = PathOf(Message);
    *Out = std::move(Decoded);
    return S_OK;
}

HRESULT AnswerQuestion(const ServiceConnection &Connection, const ReceivedMessage &Message,
                       const QuestionPolicy &Policy)
{
    Question Asked;
    HRESULT Result = DecodeQuestion(Message.Message, &Asked);
    if (Result != S_OK) {
        return Result;
    }
    SERVICE_REPLY Reply = Policy ? Policy(Asked) : AllowEverything(Asked);
    return ReplyToMessage(Connection, Message.Header.MessageId, Reply);
}

}  // namespace zentaflt::service
