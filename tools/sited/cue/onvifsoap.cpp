#include "tools/sited/cue/onvifsoap.h"

#include <QCryptographicHash>
#include <QXmlStreamReader>

#include <cmath>
#include <vector>

namespace trklib::sited::cue {

namespace {

constexpr int maxDepth = 48;           // elements nested deeper make an answer refused
constexpr int maxFaultLineChars = 200; // characters of a fault's line

constexpr char wsseNs[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
constexpr char wsuNs[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";
constexpr char digestType[] = "http://docs.oasis-open.org/wss/2004/01/"
                              "oasis-200401-wss-username-token-profile-1.0#PasswordDigest";
constexpr char base64Type[] = "http://docs.oasis-open.org/wss/2004/01/"
                              "oasis-200401-wss-soap-message-security-1.0#Base64Binary";
constexpr char soap11Ns[] = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr char genericPanTilt[] =
    "http://www.onvif.org/ver10/tptz/PanTiltSpaces/PositionGenericSpace";
constexpr char genericZoom[] = "http://www.onvif.org/ver10/tptz/ZoomSpaces/PositionGenericSpace";

// One element of a parsed answer: its namespace, name, attributes, text
// and children, in the document's order.
struct Node
{
    QString ns;
    QString name;
    QXmlStreamAttributes attributes;
    QString text;
    std::vector<Node> children;

    bool is(const char* nsUri, const char* localName) const
    {
        return name == QLatin1String(localName) && ns == QLatin1String(nsUri);
    }
    const Node* child(const char* nsUri, const char* localName) const
    {
        for (const Node& c : children)
            if (c.is(nsUri, localName))
                return &c;
        return nullptr;
    }
    // The first child of that name whatever its namespace: for the fields
    // inside a known element, which devices put in either of two schemas.
    const Node* field(const char* localName) const
    {
        for (const Node& c : children)
            if (c.name == QLatin1String(localName))
                return &c;
        return nullptr;
    }
    QString fieldText(const char* localName) const
    {
        const Node* f = field(localName);
        return f ? f->text.trimmed() : QString();
    }
    QString attribute(const char* localName) const
    {
        for (const QXmlStreamAttribute& a : attributes)
            if (a.name() == QLatin1String(localName))
                return a.value().toString();
        return QString();
    }
};

// The whole answer as a tree, or false with the reason.
bool parseTree(const QByteArray& xml, Node& root, QString& error)
{
    if (xml.size() > maxAnswerBytes) {
        error = QStringLiteral("the answer is larger than %1 bytes").arg(maxAnswerBytes);
        return false;
    }
    QXmlStreamReader reader(xml);
    std::vector<Node*> open{&root};
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            error = QStringLiteral("the answer has a DTD");
            return false;
        case QXmlStreamReader::StartElement: {
            if (static_cast<int>(open.size()) > maxDepth) {
                error = QStringLiteral("the answer nests deeper than %1 elements").arg(maxDepth);
                return false;
            }
            Node node;
            node.ns = reader.namespaceUri().toString();
            node.name = reader.name().toString();
            node.attributes = reader.attributes();
            open.back()->children.push_back(std::move(node));
            open.push_back(&open.back()->children.back());
            break;
        }
        case QXmlStreamReader::EndElement:
            if (open.size() > 1)
                open.pop_back();
            break;
        case QXmlStreamReader::Characters:
            open.back()->text += reader.text();
            break;
        default:
            break;
        }
    }
    if (reader.hasError()) {
        error = QStringLiteral("the answer is no well-formed XML (line %1: %2)")
                    .arg(reader.lineNumber())
                    .arg(reader.errorString());
        return false;
    }
    if (root.children.empty()) {
        error = QStringLiteral("the answer is empty");
        return false;
    }
    return true;
}

// The element of the SOAP body's first child, when it is nsUri:localName.
const Node* bodyElement(const Node& root, const char* nsUri, const char* localName, QString& error)
{
    const Node* envelope = root.child(onvifns::soap, "Envelope");
    const Node* body = envelope ? envelope->child(onvifns::soap, "Body") : nullptr;
    if (!body) {
        error = QStringLiteral("the answer is no SOAP 1.2 envelope with a body");
        return nullptr;
    }
    const Node* element = body->child(nsUri, localName);
    if (!element)
        error = QStringLiteral("the answer has no %1").arg(QLatin1String(localName));
    return element;
}

bool toNumber(const QString& text, double& value)
{
    bool ok = false;
    value = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(value);
}

// An XML element's text escaped.
QByteArray escaped(const QString& text)
{
    return text.toHtmlEscaped().toUtf8();
}

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', 9);
}

QByteArray envelope(const QByteArray& security, const QByteArray& body)
{
    QByteArray text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                      "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\""
                      " xmlns:tt=\"http://www.onvif.org/ver10/schema\">";
    if (!security.isEmpty())
        text += "<s:Header>" + security + "</s:Header>";
    return text + "<s:Body>" + body + "</s:Body></s:Envelope>";
}

// <tt:PanTilt x y/><tt:Zoom x/> inside an element of that name.
QByteArray vectorElement(const char* name, const PtzVector& v)
{
    return QByteArray("<tptz:") + name + "><tt:PanTilt x=\"" + number(v.pan) + "\" y=\"" +
           number(v.tilt) + "\"/><tt:Zoom x=\"" + number(v.zoom) + "\"/></tptz:" + name + ">";
}

QByteArray ptzRequest(const QByteArray& security, const char* name, const QByteArray& inner)
{
    return envelope(security, QByteArray("<tptz:") + name + " xmlns:tptz=\"" + onvifns::ptz +
                                  "\">" + inner + "</tptz:" + name + ">");
}

QByteArray profileElement(const QString& profileToken)
{
    return "<tptz:ProfileToken>" + escaped(profileToken) + "</tptz:ProfileToken>";
}

// A service's address by its namespace.
void takeAddress(const QString& ns, const QString& address, ServiceAddresses& out)
{
    if (ns == QLatin1String(onvifns::device))
        out.device = address;
    else if (ns == QLatin1String(onvifns::media))
        out.media = address;
    else if (ns == QLatin1String(onvifns::ptz))
        out.ptz = address;
}

// The min..max of a space's XRange or YRange.
bool readRange(const Node& space, const char* rangeName, Range& range)
{
    const Node* r = space.field(rangeName);
    return r && toNumber(r->fieldText("Min"), range.min) &&
           toNumber(r->fieldText("Max"), range.max) && range.min < range.max;
}

// The generic space among a list of spaces of one name, else the first.
const Node* pickSpace(const Node& spaces, const char* name, const char* genericUri)
{
    const Node* first = nullptr;
    for (const Node& s : spaces.children) {
        if (s.name != QLatin1String(name))
            continue;
        if (s.fieldText("URI") == QLatin1String(genericUri))
            return &s;
        if (!first)
            first = &s;
    }
    return first;
}

// The local part of a QName ("ter:NotAuthorized" -> "NotAuthorized").
QString localPart(const QString& qname)
{
    const QString trimmed = qname.trimmed();
    return trimmed.mid(trimmed.lastIndexOf(':') + 1);
}

QString oneLine(const QString& text)
{
    QString line = text.simplified();
    if (line.size() > maxFaultLineChars)
        line = line.left(maxFaultLineChars - 3) + QStringLiteral("...");
    return line;
}

} // namespace

QByteArray passwordDigest(const QByteArray& nonce, const QByteArray& created,
                          const QByteArray& password)
{
    return QCryptographicHash::hash(nonce + created + password, QCryptographicHash::Sha1)
        .toBase64();
}

QByteArray securityHeader(const QString& username, const QByteArray& password,
                          const QByteArray& nonce, const QDateTime& createdUtc)
{
    if (username.isEmpty())
        return QByteArray();
    const QByteArray created =
        createdUtc.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz'Z'")).toLatin1();
    return QByteArray("<wsse:Security s:mustUnderstand=\"1\" xmlns:wsse=\"") + wsseNs +
           "\" xmlns:wsu=\"" + wsuNs + "\"><wsse:UsernameToken><wsse:Username>" +
           escaped(username) + "</wsse:Username><wsse:Password Type=\"" + digestType + "\">" +
           passwordDigest(nonce, created, password) +
           "</wsse:Password><wsse:Nonce EncodingType=\"" + base64Type + "\">" + nonce.toBase64() +
           "</wsse:Nonce><wsu:Created>" + created +
           "</wsu:Created></wsse:UsernameToken></wsse:Security>";
}

QByteArray getSystemDateAndTimeRequest()
{
    return envelope(QByteArray(), QByteArray("<tds:GetSystemDateAndTime xmlns:tds=\"") +
                                      onvifns::device + "\"/>");
}

QByteArray getServicesRequest(const QByteArray& security)
{
    return envelope(security, QByteArray("<tds:GetServices xmlns:tds=\"") + onvifns::device +
                                  "\"><tds:IncludeCapability>false</tds:IncludeCapability>"
                                  "</tds:GetServices>");
}

QByteArray getCapabilitiesRequest(const QByteArray& security)
{
    return envelope(security, QByteArray("<tds:GetCapabilities xmlns:tds=\"") + onvifns::device +
                                  "\"><tds:Category>All</tds:Category></tds:GetCapabilities>");
}

QByteArray getProfilesRequest(const QByteArray& security)
{
    return envelope(security,
                    QByteArray("<trt:GetProfiles xmlns:trt=\"") + onvifns::media + "\"/>");
}

QByteArray getConfigurationOptionsRequest(const QByteArray& security,
                                          const QString& ptzConfigurationToken)
{
    return ptzRequest(security, "GetConfigurationOptions",
                      "<tptz:ConfigurationToken>" + escaped(ptzConfigurationToken) +
                          "</tptz:ConfigurationToken>");
}

QByteArray absoluteMoveRequest(const QByteArray& security, const QString& profileToken,
                               const PtzVector& position, const std::optional<PtzVector>& speed)
{
    QByteArray inner = profileElement(profileToken) + vectorElement("Position", position);
    if (speed)
        inner += vectorElement("Speed", *speed);
    return ptzRequest(security, "AbsoluteMove", inner);
}

QByteArray continuousMoveRequest(const QByteArray& security, const QString& profileToken,
                                 const PtzVector& velocity)
{
    return ptzRequest(security, "ContinuousMove",
                      profileElement(profileToken) + vectorElement("Velocity", velocity));
}

QByteArray stopRequest(const QByteArray& security, const QString& profileToken)
{
    return ptzRequest(security, "Stop",
                      profileElement(profileToken) +
                          "<tptz:PanTilt>true</tptz:PanTilt><tptz:Zoom>true</tptz:Zoom>");
}

QByteArray getStatusRequest(const QByteArray& security, const QString& profileToken)
{
    return ptzRequest(security, "GetStatus", profileElement(profileToken));
}

QByteArray soapAction(const QByteArray& request)
{
    Node root;
    QString error;
    if (!parseTree(request, root, error))
        return QByteArray();
    const Node* env = root.child(onvifns::soap, "Envelope");
    const Node* body = env ? env->child(onvifns::soap, "Body") : nullptr;
    if (!body || body->children.empty())
        return QByteArray();
    const Node& first = body->children.front();
    return (first.ns + '/' + first.name).toUtf8();
}

bool parseServices(const QByteArray& xml, ServiceAddresses& out, QString& error)
{
    Node root;
    if (!parseTree(xml, root, error))
        return false;
    const Node* response = bodyElement(root, onvifns::device, "GetServicesResponse", error);
    if (!response)
        return false;
    out = ServiceAddresses();
    for (const Node& service : response->children)
        if (service.is(onvifns::device, "Service"))
            takeAddress(service.fieldText("Namespace"), service.fieldText("XAddr"), out);
    return true;
}

bool parseCapabilities(const QByteArray& xml, ServiceAddresses& out, QString& error)
{
    Node root;
    if (!parseTree(xml, root, error))
        return false;
    const Node* response = bodyElement(root, onvifns::device, "GetCapabilitiesResponse", error);
    const Node* capabilities = response ? response->field("Capabilities") : nullptr;
    if (!capabilities) {
        if (response)
            error = QStringLiteral("the answer has no Capabilities");
        return false;
    }
    out = ServiceAddresses();
    if (const Node* d = capabilities->field("Device"))
        out.device = d->fieldText("XAddr");
    if (const Node* m = capabilities->field("Media"))
        out.media = m->fieldText("XAddr");
    if (const Node* p = capabilities->field("PTZ"))
        out.ptz = p->fieldText("XAddr");
    return true;
}

bool parseProfiles(const QByteArray& xml, QVector<Profile>& out, QString& error)
{
    Node root;
    if (!parseTree(xml, root, error))
        return false;
    const Node* response = bodyElement(root, onvifns::media, "GetProfilesResponse", error);
    if (!response)
        return false;
    out.clear();
    for (const Node& p : response->children) {
        if (!p.is(onvifns::media, "Profiles"))
            continue;
        Profile profile;
        profile.token = p.attribute("token");
        profile.name = p.fieldText("Name");
        if (const Node* ptz = p.field("PTZConfiguration"))
            profile.ptzConfigurationToken = ptz->attribute("token");
        if (!profile.token.isEmpty())
            out.push_back(profile);
    }
    return true;
}

bool parseConfigurationOptions(const QByteArray& xml, PtzSpaces& out, QString& error)
{
    Node root;
    if (!parseTree(xml, root, error))
        return false;
    const Node* response =
        bodyElement(root, onvifns::ptz, "GetConfigurationOptionsResponse", error);
    const Node* options = response ? response->field("PTZConfigurationOptions") : nullptr;
    const Node* spaces = options ? options->field("Spaces") : nullptr;
    if (!spaces) {
        if (response)
            error = QStringLiteral("the answer has no Spaces");
        return false;
    }
    PtzSpaces found;
    const Node* panTilt = pickSpace(*spaces, "AbsolutePanTiltPositionSpace", genericPanTilt);
    if (!panTilt || !readRange(*panTilt, "XRange", found.pan) ||
        !readRange(*panTilt, "YRange", found.tilt)) {
        error = QStringLiteral("the answer has no absolute pan/tilt space with ranges");
        return false;
    }
    const Node* zoom = pickSpace(*spaces, "AbsoluteZoomPositionSpace", genericZoom);
    found.hasZoom = zoom && readRange(*zoom, "XRange", found.zoom);
    if (!found.hasZoom)
        found.zoom = Range{0.0, 0.0};
    out = found;
    return true;
}

bool parseStatus(const QByteArray& xml, PtzStatus& out, QString& error)
{
    Node root;
    if (!parseTree(xml, root, error))
        return false;
    const Node* response = bodyElement(root, onvifns::ptz, "GetStatusResponse", error);
    const Node* status = response ? response->field("PTZStatus") : nullptr;
    const Node* position = status ? status->field("Position") : nullptr;
    const Node* panTilt = position ? position->field("PanTilt") : nullptr;
    if (!panTilt) {
        if (response)
            error = QStringLiteral("the answer has no pan/tilt position");
        return false;
    }
    PtzStatus found;
    if (!toNumber(panTilt->attribute("x"), found.position.pan) ||
        !toNumber(panTilt->attribute("y"), found.position.tilt)) {
        error = QStringLiteral("the answer's pan/tilt position is no pair of numbers");
        return false;
    }
    if (const Node* zoom = position->field("Zoom"))
        if (!toNumber(zoom->attribute("x"), found.position.zoom))
            found.position.zoom = 0.0;
    if (const Node* move = status->field("MoveStatus")) {
        const QString pt = move->fieldText("PanTilt");
        const QString z = move->fieldText("Zoom");
        found.moving = pt == QLatin1String("MOVING") || z == QLatin1String("MOVING");
    }
    out = found;
    return true;
}

bool parseSystemDateAndTime(const QByteArray& xml, QDateTime& utc, QString& error)
{
    Node root;
    if (!parseTree(xml, root, error))
        return false;
    const Node* response =
        bodyElement(root, onvifns::device, "GetSystemDateAndTimeResponse", error);
    const Node* system = response ? response->field("SystemDateAndTime") : nullptr;
    const Node* dateTime = system ? system->field("UTCDateTime") : nullptr;
    const Node* date = dateTime ? dateTime->field("Date") : nullptr;
    const Node* time = dateTime ? dateTime->field("Time") : nullptr;
    if (!date || !time) {
        if (response)
            error = QStringLiteral("the answer has no UTC date and time");
        return false;
    }
    const QDate d(date->fieldText("Year").toInt(), date->fieldText("Month").toInt(),
                  date->fieldText("Day").toInt());
    const QTime t(time->fieldText("Hour").toInt(), time->fieldText("Minute").toInt(),
                  time->fieldText("Second").toInt());
    if (!d.isValid() || !t.isValid()) {
        error = QStringLiteral("the answer's UTC date and time is no valid time");
        return false;
    }
    utc = QDateTime(d, t, Qt::UTC);
    return true;
}

std::optional<SoapFault> parseFault(const QByteArray& xml)
{
    Node root;
    QString error;
    if (!parseTree(xml, root, error))
        return std::nullopt;
    SoapFault fault;
    if (const Node* env11 = root.child(soap11Ns, "Envelope")) {
        const Node* body = env11->child(soap11Ns, "Body");
        const Node* f = body ? body->child(soap11Ns, "Fault") : nullptr;
        if (!f)
            return std::nullopt;
        const QString code = localPart(f->fieldText("faultcode"));
        fault.line = oneLine(code + QStringLiteral(": ") + f->fieldText("faultstring"));
        fault.notAuthorized = code.contains(QLatin1String("NotAuthorized")) ||
                              code.contains(QLatin1String("FailedAuthentication"));
        return fault;
    }
    const Node* f = bodyElement(root, onvifns::soap, "Fault", error);
    if (!f)
        return std::nullopt;
    QStringList codes;
    for (const Node* code = f->child(onvifns::soap, "Code"); code;
         code = code->child(onvifns::soap, "Subcode")) {
        const QString value = localPart(code->fieldText("Value"));
        if (value == QLatin1String("NotAuthorized") ||
            value == QLatin1String("FailedAuthentication"))
            fault.notAuthorized = true;
        codes << value;
    }
    const Node* reason = f->child(onvifns::soap, "Reason");
    const QString text = reason ? reason->fieldText("Text") : QString();
    fault.line =
        oneLine(codes.join('/') + (text.isEmpty() ? QString() : QStringLiteral(": ") + text));
    return fault;
}

} // namespace trklib::sited::cue
