#include "msgbase/status.h"

#include "msgbase/file_helpers.h"

namespace msgbase {

namespace {

// The table text of Code, or nullptr when the code has none.
const char* StatusText(std::int32_t Code) {
  switch (Code) {
    case stOk:
      return "no error";
    case stOpenUnrecognizedId:
      return "(open) unrecognized ID";
    case stOpenSharingViolation:
      return "(open) sharing violation";
    case stOpenAttemptsExpired:
      return "(open) sharing violation, attempts expired";
    case stOpenEmptyPath:
      return "(open) empty base path";
    case stOpenAccessDenied:
      return "(open) access denied";
    case stOpenNotRegularFile:
      return "(open) not a regular file";
    case stMsgWrongPath:
      return "(msg) wrong path";
    case stMsgNotFound:
      return "(msg) msg not found";
    case stMsgCantCreateStream:
      return "(msg) unable to create stream";
    case stMsgAlreadyClosed:
      return "(msg) already closed";
    case stMsgBufferOverflow:
      return "(msg) buffer overflow";
    case stMsgReadOnly:
      return "(msg) base opened read-only";
    case stMsgTwoNames:
      return "(msg) two files whose names differ only in case";
    case stMsgDamagedFile:
      return "(msg) damaged message file";
    case stJamAbsentJhr:
      return "(jam) absent JHR";
    case stJamAbsentJdx:
      return "(jam) absent JDX";
    case stJamAbsentJdt:
      return "(jam) absent JDT";
    case stJamCantOpenJhr:
      return "(jam) can't open JHR";
    case stJamCantOpenJdx:
      return "(jam) can't open JDX";
    case stJamCantOpenJdt:
      return "(jam) can't open JDT";
    case stJamStreamProblems:
      return "(jam) stream problems";
    case stJamWrongHeaderLocation:
      return "(jam) wrong header location";
    case stJamWrongDataLocation:
      return "(jam) wrong data location";
    case stJamUnknownSubfield:
      return "(jam) unknown subfield";
    case stJamCantCreateJhr:
      return "(jam) can't create JHR";
    case stJamCantCreateJdx:
      return "(jam) can't create JDX";
    case stJamCantCreateJdt:
      return "(jam) can't create JDT";
    case stJamAbsentJlr:
      return "(jam) absent JLR";
    case stJamCantOpenJlr:
      return "(jam) can't open JLR";
    case stJamCantCreateJlr:
      return "(jam) can't create JLR";
    case stJamReadOnly:
      return "(jam) base opened read-only";
    case stJamTwoNames:
      return "(jam) two files whose names differ only in case";
    case stJamDamagedBase:
      return "(jam) damaged base";
    case stSquishAbsentSqd:
      return "(sq) absent SQD";
    case stSquishAbsentSqi:
      return "(sq) absent SQI";
    case stSquishCantOpenSqd:
      return "(sq) can't open SQD";
    case stSquishCantOpenSqi:
      return "(sq) can't open SQI";
    case stSquishIndexProblems:
      return "(sq) index problems";
    case stSquishUnsupported:
      return "(sq) unsupported";
    case stSquishMsgNotExists:
      return "(sq) msg is not exists";
    case stSquishGrungedFrame:
      return "(sq) grunged frame";
    case stSquishDataProblems:
      return "(sq) data problems";
    case stSquishCantCreateSqd:
      return "(sq) can't create SQD";
    case stSquishCantCreateSqi:
      return "(sq) can't create SQI";
    case stSquishBaseHeaderProblems:
      return "(sq) base header problems";
    case stSquishReadOnly:
      return "(sq) base opened read-only";
    case stSquishTwoNames:
      return "(sq) two files whose names differ only in case";
    default:
      return nullptr;
  }
}

}  // namespace

std::string ExplainStatus(std::int32_t Code) {
  const char* Text = StatusText(Code);
  if (Text != nullptr) return Text;
  return "error #" + LongToStr(Code);
}

}  // namespace msgbase
