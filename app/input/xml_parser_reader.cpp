#include "xml_parser_reader.h"

#include <expat.h>
#include <unicode/ucnv.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "compressed_input.h"
#include "input_file.h"
#include "linvoro_functions.h"
#include "linvoro_platform.h"
#include "run_ui.h"
#include "xml_lines.h"

namespace {

constexpr int ChunkSize = 256 * 1024;

// The bytes of a plain or compressed file, front to back, with a skip
// forward that a pass can watch and stop.
class TByteInput {
 public:
  TByteInput(const std::string& path, TOsmFormat format) : FPath(path) {
    if (CompressionOf(format) != TCompression::None) {
      FSource = std::make_unique<TDecompressingSource>(path, CompressionOf(format));
      FSize = FSource->FileSize();
    } else {
      FHandle = OpenInputFile(path, FSize);
    }
  }
  ~TByteInput() {
    if (FHandle >= 0) ::close(FHandle);
  }
  TByteInput(const TByteInput&) = delete;
  TByteInput& operator=(const TByteInput&) = delete;

  size_t Read(char* dst, size_t n) {
    const size_t got = FSource ? FSource->Read(dst, n) : ReadInputFile(FHandle, dst, n, FPath);
    FOffset += static_cast<int64_t>(got);
    return got;
  }
  // The next Read starts at offset pos of the (decompressed) text; false
  // when the text is shorter.
  template <class Poll>
  bool SkipTo(int64_t pos, Poll&& poll) {
    if (!FSource) {
      if (::lseek(FHandle, pos, SEEK_SET) < 0)
        throw EReadError("Error reading file \"" + FPath + "\". " + SystemErrorText(errno));
      FOffset = pos;
      return pos <= FSize;
    }
    std::unique_ptr<char[]> buf(new char[ChunkSize]);
    while (FOffset < pos) {
      const size_t want = static_cast<size_t>(std::min<int64_t>(pos - FOffset, ChunkSize));
      if (Read(buf.get(), want) == 0) return false;
      poll();
    }
    return true;
  }
  // Text offset of the next byte Read gives.
  int64_t Offset() const { return FOffset; }
  int64_t FilePosition() const { return FSource ? FSource->FilePosition() : FOffset; }
  int64_t Size() const { return FSize; }

 private:
  std::string FPath;
  int FHandle = -1;
  std::unique_ptr<TDecompressingSource> FSource;
  int64_t FSize = 0;
  int64_t FOffset = 0;
};

// An encoding expat does not know itself, when it is a single-byte code
// page that ICU knows (windows-1252, ISO-8859-5, KOI8-R, ...).
int XMLCALL UnknownEncoding(void*, const XML_Char* name, XML_Encoding* info) {
  UErrorCode err = U_ZERO_ERROR;
  UConverter* cnv = ucnv_open(name, &err);
  if (U_FAILURE(err) || cnv == nullptr) return XML_STATUS_ERROR;
  bool ok = ucnv_getMaxCharSize(cnv) == 1;
  if (ok) {
    ucnv_setToUCallBack(cnv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
    for (int b = 0; b < 256 && ok; ++b) {
      const char c = static_cast<char>(b);
      UChar u[2];
      err = U_ZERO_ERROR;
      ucnv_resetToUnicode(cnv);
      const int32_t n = ucnv_toUChars(cnv, u, 2, &c, 1, &err);
      info->map[b] = U_SUCCESS(err) && n == 1 && !U16_IS_SURROGATE(u[0]) ? u[0] : -1;
      // XML's own characters must keep their ASCII codes.
      if (b < 0x80 && info->map[b] != b && (b == '<' || b == '>' || b == '&' || b == '"' || b == '\'' ||
                                            b == '=' || b == '/' || b == '?' || b == ' ' || b == '\n'))
        ok = false;
    }
  }
  ucnv_close(cnv);
  if (!ok) return XML_STATUS_ERROR;
  info->data = nullptr;
  info->convert = nullptr;
  info->release = nullptr;
  return XML_STATUS_OK;
}

bool IsUtf16(std::string_view name) {
  std::string l;
  for (const char c : name) l += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return l.starts_with("utf-16") || l.starts_with("utf16") || l.starts_with("ucs-2") || l.starts_with("ucs2");
}

}  // namespace

struct TXmlParserReader::TImpl {
  enum TObject { obNone, obNode, obWay };

  const std::string& Path;
  TOsmFormat Format;
  std::unique_ptr<TByteInput> Input;
  XML_Parser P = nullptr;
  int64_t Base = 0;       // text offset of the first byte this parser was given
  int64_t PrefixLen = 0;  // bytes of a made-up start given before them
  bool Suspended = false, Finished = false;

  IOsmHandler* H = nullptr;
  TReadRequest What;
  std::exception_ptr Error;  // raised in a handler; expat's frames must not see it

  int Depth = 0;
  bool RootSeen = false, HeaderOk = false, HeaderFailed = false, RootClosed = false;
  bool Doctype = false, Utf16 = false;
  std::string Encoding;  // as the declaration names it
  TObject Object = obNone;
  bool Wanted = false;  // the current node or way goes to the handler
  TOsmNode Node;
  std::string Ref, Key, Value;
  TWayBuilder Way;
  TOsmKind Kind = TOsmKind::okOther;
  bool KindKnown = false;
  // The element whose section the handler declined: the next Read begins
  // with it.
  bool Pending = false;
  TObject PendingObject = obNone;
  int64_t PendingId = 0;
  bool PendingDeleted = false;
  TFloatPoint PendingPoint;
  TOsmPlace Place;  // where the section being told begins

  TImpl(const std::string& path, TOsmFormat format) : Path(path), Format(format) {}
  ~TImpl() {
    if (P) XML_ParserFree(P);
  }

  void NewParser(const char* encoding) {
    if (P) XML_ParserFree(P);
    P = XML_ParserCreate(encoding);
    if (!P) throw std::bad_alloc();
    XML_SetUserData(P, this);
    XML_SetElementHandler(P, &TImpl::OnStart, &TImpl::OnEnd);
    XML_SetXmlDeclHandler(P, &TImpl::OnDecl);
    XML_SetStartDoctypeDeclHandler(P, &TImpl::OnDoctype);
    XML_SetUnknownEncodingHandler(P, &UnknownEncoding, nullptr);
    Suspended = Finished = false;
    Depth = 0;
    Object = obNone;
  }

  // Opens the file from its start.
  void Start() {
    Input = std::make_unique<TByteInput>(Path, Format);
    NewParser(nullptr);
    Base = PrefixLen = 0;
    Doctype = Utf16 = false;
    Encoding.clear();
  }

  // ------------------------------------------------------------ handlers

  static const char* Attr(const XML_Char** atts, const char* name) {
    for (const XML_Char** a = atts; *a; a += 2)
      if (std::strcmp(a[0], name) == 0) return a[1];
    return nullptr;
  }
  // JOSM marks an object it deleted but has not uploaded with
  // action="delete"; files with history mark deleted objects
  // visible="false". Neither is part of the data.
  static bool Deleted(const XML_Char** atts) {
    const char* action = Attr(atts, "action");
    const char* visible = Attr(atts, "visible");
    return (action && std::strcmp(action, "delete") == 0) || (visible && std::strcmp(visible, "false") == 0);
  }
  static int64_t IdOf(const XML_Char** atts, const char* name) {
    const char* v = Attr(atts, name);
    return ParseId(v ? std::string_view(v) : std::string_view());
  }

  void Stop() { XML_StopParser(P, XML_FALSE); }

  // The handler is told a new kind of object; false when it declined, and
  // the parser is suspended before the element.
  bool Section(TOsmKind kind) {
    if (KindKnown && kind == Kind) return true;
    Kind = kind;
    KindKnown = true;
    // A new parser can start here unless the start of the file decides how
    // the rest reads: a document type may declare entities, and UTF-16 text
    // cannot take an ASCII prefix.
    Place.Offset = Base - PrefixLen + XML_GetCurrentByteIndex(P);
    Place.XmlResumable = !Doctype && !Utf16;
    Place.XmlEncoding = Encoding;
    if (H->Section(kind)) return true;
    KindKnown = false;
    Pending = true;
    XML_StopParser(P, XML_TRUE);
    return false;
  }

  static TFloatPoint PointOf(const XML_Char** atts) {
    const char* lat = Attr(atts, "lat");
    const char* lon = Attr(atts, "lon");
    return TFloatPoint{lon ? NumericPrefix(lon) : 0.0, lat ? NumericPrefix(lat) : 0.0};
  }

  // A wanted node or way begins.
  void BeginNode(int64_t id, bool deleted, const TFloatPoint& p) {
    Object = obNode;
    Wanted = true;
    Node = TOsmNode{};
    Node.Id = id;
    Node.Deleted = deleted;
    Node.P = p;
  }

  void BeginWay(int64_t id, bool deleted) {
    Object = obWay;
    Wanted = true;
    Way.Begin(id, deleted);
  }

  // The element a declined section stopped before.
  void BeginPending() {
    if (!Pending) return;
    Pending = false;
    KindKnown = true;
    Object = PendingObject;
    if (PendingObject == obNode && What.Nodes && H->WantNode(PendingId))
      BeginNode(PendingId, PendingDeleted, PendingPoint);
    else if (PendingObject == obWay && What.Ways && H->WantWay(PendingId))
      BeginWay(PendingId, PendingDeleted);
  }

  void Start(const XML_Char* name, const XML_Char** atts) {
    ++Depth;
    if (Depth == 1) {
      RootSeen = true;
      const char* version = Attr(atts, "version");
      HeaderOk = std::strcmp(name, "osm") == 0 && version && std::strcmp(version, "0.6") == 0;
      if (!HeaderOk && What.CheckHeader) {
        HeaderFailed = true;
        Stop();
      }
      return;
    }
    if (Depth == 2) {
      Object = obNone;
      Wanted = false;
      // A node's or way's attributes are looked at only when the Read
      // decodes its kind (or a declined section keeps it for the next).
      if (std::strcmp(name, "node") == 0) {
        if (!Section(TOsmKind::okNode)) {
          PendingObject = obNode;
          PendingId = IdOf(atts, "id");
          PendingDeleted = Deleted(atts);
          PendingPoint = PointOf(atts);
          return;
        }
        Object = obNode;
        if (!What.Nodes) return;
        const int64_t id = IdOf(atts, "id");
        if (H->WantNode(id)) BeginNode(id, Deleted(atts), PointOf(atts));
      } else if (std::strcmp(name, "way") == 0) {
        if (!Section(TOsmKind::okWay)) {
          PendingObject = obWay;
          PendingId = IdOf(atts, "id");
          PendingDeleted = Deleted(atts);
          return;
        }
        Object = obWay;
        if (!What.Ways) return;
        const int64_t id = IdOf(atts, "id");
        if (H->WantWay(id)) BeginWay(id, Deleted(atts));
      } else if (std::strcmp(name, "relation") == 0) {
        if (!Section(TOsmKind::okOther)) PendingObject = obNone;
      }
      return;
    }
    if (Depth != 3 || !Wanted) return;
    if (Object == obWay) {
      if (std::strcmp(name, "nd") == 0) {
        Way.Ref(IdOf(atts, "ref"));
      } else if (std::strcmp(name, "tag") == 0) {
        const char* k = Attr(atts, "k");
        const char* v = Attr(atts, "v");
        Way.Tag(k ? k : "", v ? v : "");
      }
    } else if (Object == obNode && !Node.HasRef && std::strcmp(name, "tag") == 0) {
      const char* k = Attr(atts, "k");
      if (k && std::strcmp(k, "ref") == 0) {
        const char* v = Attr(atts, "v");
        Ref.assign(v ? v : "");
        Node.Ref = Ref;
        Node.HasRef = true;
      }
    }
  }

  void End(const XML_Char*) {
    if (Depth == 2 && Wanted) {
      if (Object == obNode) {
        H->Node(Node);
      } else if (Object == obWay && XML_GetCurrentByteCount(P) > 0) {
        // An empty-element tag has no end of its own: as in the line
        // reader, such a way never ends.
        H->Way(Way.Finish());
      }
      Wanted = false;
    }
    if (Depth == 2) Object = obNone;
    if (Depth == 1) RootClosed = true;
    --Depth;
  }

  static void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char** atts) {
    auto* self = static_cast<TImpl*>(data);
    try {
      self->Start(name, atts);
    } catch (...) {
      self->Error = std::current_exception();
      self->Stop();
    }
  }
  static void XMLCALL OnEnd(void* data, const XML_Char* name) {
    auto* self = static_cast<TImpl*>(data);
    try {
      self->End(name);
    } catch (...) {
      self->Error = std::current_exception();
      self->Stop();
    }
  }
  static void XMLCALL OnDecl(void* data, const XML_Char*, const XML_Char* encoding, int) {
    auto* self = static_cast<TImpl*>(data);
    if (encoding) {
      self->Encoding = encoding;
      if (IsUtf16(encoding)) self->Utf16 = true;
    }
  }
  static void XMLCALL OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<TImpl*>(data)->Doctype = true;
  }

  // ------------------------------------------------------------ parsing

  [[noreturn]] void ParseError() {
    const XML_Error code = XML_GetErrorCode(P);
    const std::string at = "line " + std::to_string(XML_GetCurrentLineNumber(P)) + ", column " +
                           std::to_string(XML_GetCurrentColumnNumber(P) + 1);
    const char* what = XML_ErrorString(code);
    const std::string text = what ? what : "error";
    // A document that stops before its end is cut short, whatever the
    // parser calls it.
    if (Finished &&
        (code == XML_ERROR_NO_ELEMENTS || code == XML_ERROR_UNCLOSED_TOKEN || code == XML_ERROR_PARTIAL_CHAR ||
         code == XML_ERROR_UNCLOSED_CDATA_SECTION))
      RaiseCutShort(Path, "at " + at + ", before the end of its data (" + text + ")");
    if (Base > 0)
      throw EReadError("File \"" + Path + "\" is not well-formed XML: " + text + " after text offset " +
                       std::to_string(Base) + ".");
    throw EReadError("File \"" + Path + "\" is not well-formed XML: " + text + " at " + at + ".");
  }

  // Parses on until the end of the file, a suspension (pass 2 at the first
  // way) or a stop (a wrong header); the progress is checked per chunk.
  void Parse(TPassProgress& progress) {
    for (;;) {
      XML_Status status;
      if (Suspended) {
        Suspended = false;
        status = XML_ResumeParser(P);
      } else {
        if (Finished) return;
        void* buf = XML_GetBuffer(P, ChunkSize);
        if (!buf) throw std::bad_alloc();
        const size_t got = Input->Read(static_cast<char*>(buf), ChunkSize);
        if (Input->Offset() == static_cast<int64_t>(got) && got >= 2) {
          const auto* b = static_cast<const unsigned char*>(buf);
          if ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF)) Utf16 = true;
        }
        Finished = got == 0;
        status = XML_ParseBuffer(P, static_cast<int>(got), Finished ? XML_TRUE : XML_FALSE);
      }
      if (Error) {
        std::exception_ptr e = Error;
        Error = nullptr;
        std::rethrow_exception(e);
      }
      if (status == XML_STATUS_SUSPENDED) {
        Suspended = true;
        return;
      }
      if (status == XML_STATUS_ERROR) {
        if (HeaderFailed) return;
        ParseError();
      }
      // What the parser holds beyond its last complete token.
      const int64_t fed = Input->Offset() - Base + PrefixLen;
      if (fed - XML_GetCurrentByteIndex(P) > MaxTokenBytes + ChunkSize)
        throw EReadError("Error reading file \"" + Path + "\": the element at line " +
                         std::to_string(XML_GetCurrentLineNumber(P)) +
                         " is longer than 1 MiB, which OSM XML never needs. The file is damaged.");
      progress.Check();
      if (Finished) {
        if (!RootClosed && !HeaderFailed) RaiseCutShort(Path, "before its closing </osm>");
        return;
      }
    }
  }
};

TXmlParserReader::TXmlParserReader(const std::string& path, TOsmFormat format)
    : TOsmReader(path), F(std::make_unique<TImpl>(FFileName, format)) {}

TXmlParserReader::~TXmlParserReader() = default;

int64_t TXmlParserReader::ProgressPosition() const { return F->Input ? F->Input->FilePosition() : 0; }

int64_t TXmlParserReader::ProgressSize() const { return F->Input ? F->Input->Size() : 0; }

TOsmPlace TXmlParserReader::SectionPlace() const { return F->Place; }

void TXmlParserReader::StartAt(const TOsmPlace& place, TPassProgress& progress) {
  TImpl& f = *F;
  if (place.Offset <= 0 || !place.XmlResumable) return;  // from the start
  // From the section's first element on, inside a made-up root element, in
  // the encoding the file declared.
  f.Input = std::make_unique<TByteInput>(f.Path, f.Format);
  if (!f.Input->SkipTo(place.Offset, [&progress] { progress.Check(); })) {
    f.Finished = true;
    f.RootClosed = true;
    f.NewParser(nullptr);
    return;
  }
  f.NewParser(place.XmlEncoding.empty() ? nullptr : place.XmlEncoding.c_str());
  static constexpr char prefix[] = "<osm version=\"0.6\">";
  f.Base = place.Offset;
  f.PrefixLen = sizeof prefix - 1;
  if (XML_Parse(f.P, prefix, static_cast<int>(f.PrefixLen), XML_FALSE) == XML_STATUS_ERROR) f.ParseError();
}

bool TXmlParserReader::Read(IOsmHandler& handler, const TReadRequest& what, TPassProgress& progress) {
  TImpl& f = *F;
  f.H = &handler;
  f.What = what;
  if (!f.Input) f.Start();
  f.BeginPending();
  f.Parse(progress);
  return !what.CheckHeader || (!f.HeaderFailed && f.HeaderOk);
}
