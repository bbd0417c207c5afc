// The fixed texts of file transfer: the status keys the Files page shows (catalogue keys,
// translated when drawn), the reasons that end a session (ProtocolError), the file errors that end
// one transfer and the failures of the local file commands.
#pragma once

namespace ov {

// Transfer states shown on the Files page.
inline constexpr char kFileStatusWaiting[] = "Waiting";
inline constexpr char kFileStatusSending[] = "Sending";
inline constexpr char kFileStatusReceiving[] = "Receiving";
inline constexpr char kFileStatusCompleted[] = "Completed";
inline constexpr char kFileStatusCancelled[] = "Cancelled";
inline constexpr char kFileStatusError[] = "File error";
inline constexpr char kFileStatusRequest[] = "File request";
// The status line of a file command that the permissions do not allow.
inline constexpr char kFilePermissionDisabled[] = "Permission disabled";

// Protocol errors: the peer broke the rules and the session ends.
inline constexpr char kReasonNotNegotiated[] = "features before negotiation";
inline constexpr char kReasonFileToken[] = "file token";
inline constexpr char kReasonFileName[] = "file name";
inline constexpr char kReasonUnsolicitedAccept[] = "unsolicited file acceptance";
inline constexpr char kReasonUnsolicitedAck[] = "unsolicited file acknowledgement";
inline constexpr char kReasonAckOffset[] = "file acknowledgement offset";
inline constexpr char kReasonUnsolicitedFinish[] = "unsolicited file completion";
inline constexpr char kReasonUnsolicitedDone[] = "unsolicited file receipt";
inline constexpr char kReasonUnknownFileMessage[] = "unknown file message";
inline constexpr char kReasonChunkBounds[] = "file chunk bounds";
inline constexpr char kReasonChunkToken[] = "chunk token";
inline constexpr char kReasonChunkNotAccepted[] = "file chunk without local acceptance";
inline constexpr char kReasonNegativeValue[] = "negative file value";
inline constexpr char kReasonValueRange[] = "file value range";
inline constexpr char kReasonValueType[] = "file value type";

// File errors: one transfer ends (the peer is told with fileCancel), the session goes on.
inline constexpr char kErrorChunkOffset[] = "Unexpected file chunk offset or size";
inline constexpr char kErrorWrite[] = "Destination write failed";
inline constexpr char kErrorDigestMismatch[] = "Incomplete file or SHA256 mismatch";
inline constexpr char kErrorFlush[] = "Destination flush failed";
inline constexpr char kErrorZoneUnsupported[] =
    "Destination must support Windows Internet-zone metadata";
inline constexpr char kErrorZoneWrite[] = "Zone metadata write";
inline constexpr char kErrorZoneFlush[] = "Zone metadata flush";
inline constexpr char kErrorFinalize[] = "Cannot finalize file; destination may already exist";
inline constexpr char kErrorSourceRead[] = "Selected file changed or read failed";
inline constexpr char kErrorSourceDigest[] = "Incomplete source digest";
inline constexpr char kErrorChunkSend[] = "file chunk send";
inline constexpr char kErrorFeatureSend[] = "feature send";

// Failures of the local commands (offer, accept); the session and a pending offer stay.
inline constexpr char kErrorOfferUnavailable[] = "file offer unavailable";
inline constexpr char kErrorUnsafeName[] = "Unsafe file name";
inline constexpr char kErrorSourceUnreadable[] = "Selected file cannot be read";
inline constexpr char kErrorFileLimit[] = "File limit is 8 GiB";
inline constexpr char kErrorAcceptUnavailable[] = "file acceptance unavailable";
inline constexpr char kErrorInvalidDestination[] = "Invalid destination or file size";
inline constexpr char kErrorAlternateStream[] =
    "Destination cannot contain an alternate data stream";
inline constexpr char kErrorDestinationExists[] =
    "Choose a new file name; existing files are never replaced";
inline constexpr char kErrorCreateTemporary[] = "Cannot create destination temporary file";

}  // namespace ov
