#include "platform/appkit/InterfaceLoader.h"

#include <QCheckBox>
#include <QFile>
#include <QFont>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRect>
#include <QXmlStreamReader>
#include <map>
#include <vector>

#include "platform/appkit/QtSupport.h"
#include "platform/appkit/View.h"

namespace platform::appkit {

namespace {

struct Property {
  QString type;  // the value element: string, bool, number, rect, enum, set, pixmap, font, ...
  QString text;
  QRect rect;
  int pointSize = -1;
  bool bold = false;
};

struct Node {
  QString cls;
  QString name;
  std::map<QString, Property> props;
  std::vector<Node> children;
};

void readProperty(QXmlStreamReader& r, Property& p) {
  // At <property>: read its one value element.
  while (r.readNextStartElement()) {
    p.type = r.name().toString();
    if (p.type == "rect") {
      int x = 0, y = 0, w = 0, h = 0;
      while (r.readNextStartElement()) {
        const QString n = r.name().toString();
        const int v = r.readElementText().toInt();
        if (n == "x") x = v;
        else if (n == "y") y = v;
        else if (n == "width") w = v;
        else if (n == "height") h = v;
      }
      p.rect = QRect(x, y, w, h);
    } else if (p.type == "font") {
      while (r.readNextStartElement()) {
        const QString n = r.name().toString();
        const QString v = r.readElementText();
        if (n == "pointsize") p.pointSize = v.toInt();
        else if (n == "bold") p.bold = v == "true";
      }
    } else if (p.type == "string" || p.type == "bool" || p.type == "number" || p.type == "enum" ||
               p.type == "set" || p.type == "pixmap" || p.type == "cstring" || p.type == "double") {
      p.text = r.readElementText();
    } else {
      r.skipCurrentElement();
    }
  }
}

bool readWidget(QXmlStreamReader& r, Node& node) {
  node.cls = r.attributes().value("class").toString();
  node.name = r.attributes().value("name").toString();
  while (r.readNextStartElement()) {
    const QString n = r.name().toString();
    if (n == "property") {
      const QString pname = r.attributes().value("name").toString();
      Property p;
      readProperty(r, p);
      node.props[pname] = p;
    } else if (n == "widget") {
      Node child;
      if (!readWidget(r, child)) return false;
      node.children.push_back(std::move(child));
    } else {
      r.skipCurrentElement();  // layouts, attributes and the like are not used
    }
  }
  return !r.hasError();
}

const Property* prop(const Node& n, const char* name) {
  auto it = n.props.find(name);
  return it == n.props.end() ? nullptr : &it->second;
}

Qt::Alignment alignmentOf(const QString& set) {
  Qt::Alignment a;
  if (set.contains("AlignHCenter") || set.contains("AlignCenter")) a |= Qt::AlignHCenter;
  if (set.contains("AlignRight")) a |= Qt::AlignRight;
  if (set.contains("AlignLeft")) a |= Qt::AlignLeft;
  if (set.contains("AlignVCenter") || set.contains("AlignCenter")) a |= Qt::AlignVCenter;
  if (set.contains("AlignTop")) a |= Qt::AlignTop;
  if (set.contains("AlignBottom")) a |= Qt::AlignBottom;
  return a;
}

}  // namespace

// Makes the widget and its view for one node, then its children under it.
static std::shared_ptr<View> build(const Node& node);

class InterfaceLoaderAccess {
 public:
  static std::shared_ptr<View> make(const Node& node);
};

}  // namespace platform::appkit

namespace platform::appkit {

std::shared_ptr<View> InterfaceLoader::load(const std::string& path, std::string* error) {
  qt::ensureApplication();
  QFile file(qt::q(path));
  if (!file.open(QIODevice::ReadOnly)) {
    if (error) *error = "cannot read " + path;
    return nullptr;
  }
  QXmlStreamReader r(&file);
  Node root;
  bool found = false;
  if (r.readNextStartElement() && r.name() == QString("ui")) {
    while (r.readNextStartElement()) {
      if (r.name() == QString("widget") && !found) {
        found = readWidget(r, root);
      } else {
        r.skipCurrentElement();
      }
    }
  }
  if (r.hasError() || !found) {
    if (error) *error = path + ": " + (r.hasError() ? qt::s(r.errorString()) : std::string("no widget"));
    return nullptr;
  }
  // The root widget is the scene's view, whatever its class.
  Node top = root;
  top.cls = "QWidget";
  return build(top);
}

static std::shared_ptr<View> build(const Node& node) {
  std::shared_ptr<View> view = InterfaceLoaderAccess::make(node);
  for (const Node& child : node.children) {
    std::shared_ptr<View> sub = build(child);
    if (sub) view->addSubview(sub);
  }
  // Hidden state is applied once the view has its parent (a parentless widget would open a window).
  if (const Property* p = prop(node, "visible")) view->setHidden(p->text == "false");
  if (const Property* p = prop(node, "hidden")) view->setHidden(p->text == "true");
  return view;
}

std::shared_ptr<View> InterfaceLoaderAccess::make(const Node& node) {
  using qt::q;
  QWidget* w = nullptr;
  std::shared_ptr<View> view;
  const QString& c = node.cls;
  const Property* text = prop(node, "text");
  const QString textValue = text ? text->text : QString();
  if (c == "QPushButton" || c == "QCheckBox" || c == "QRadioButton") {
    ButtonType type = c == "QCheckBox" ? ButtonType::Switch
                      : c == "QRadioButton" ? ButtonType::Radio
                                            : ButtonType::MomentaryPushIn;
    QAbstractButton* b = type == ButtonType::Switch  ? static_cast<QAbstractButton*>(new QCheckBox(textValue))
                         : type == ButtonType::Radio ? static_cast<QAbstractButton*>(new QRadioButton(textValue))
                                                     : new QPushButton(textValue);
    if (const Property* p = prop(node, "checked")) b->setChecked(p->text == "true");
    if (const Property* p = prop(node, "flat"))
      if (auto* pb = qobject_cast<QPushButton*>(b)) pb->setFlat(p->text == "true");
    w = b;
    view = std::shared_ptr<View>(new Button(b, type));
  } else if (c == "QLineEdit") {
    auto* e = new QLineEdit(textValue);
    const Property* echo = prop(node, "echoMode");
    const bool secure = echo && echo->text.contains("Password");
    if (secure) e->setEchoMode(QLineEdit::Password);
    if (const Property* p = prop(node, "placeholderText")) e->setPlaceholderText(p->text);
    if (const Property* p = prop(node, "readOnly")) e->setReadOnly(p->text == "true");
    if (const Property* p = prop(node, "alignment")) e->setAlignment(alignmentOf(p->text));
    QObject::connect(e, &QLineEdit::returnPressed, e, [e] {
      if (auto v = std::dynamic_pointer_cast<Control>(View::forWidget(e))) v->sendAction();
    });
    w = e;
    view = secure ? std::shared_ptr<View>(new SecureTextField(e)) : std::shared_ptr<View>(new TextField(e));
  } else if (c == "QLabel") {
    auto* l = new QLabel(textValue);
    if (const Property* p = prop(node, "alignment")) l->setAlignment(alignmentOf(p->text));
    if (const Property* p = prop(node, "wordWrap")) l->setWordWrap(p->text == "true");
    w = l;
    if (prop(node, "pixmap")) {
      l->setScaledContents(true);
      view = std::shared_ptr<View>(new ImageView(l));
    } else {
      view = std::shared_ptr<View>(new TextField(l));
    }
  } else if (c == "QGroupBox") {
    auto* g = new QGroupBox(prop(node, "title") ? prop(node, "title")->text : QString());
    w = g;
    view = std::shared_ptr<View>(new Box(g));
  } else if (c == "QFrame") {
    auto* f = new QFrame();
    if (const Property* p = prop(node, "frameShape"))
      f->setFrameShape(p->text.contains("Box") ? QFrame::Box
                       : p->text.contains("StyledPanel") ? QFrame::StyledPanel
                                                         : QFrame::NoFrame);
    w = f;
    view = std::shared_ptr<View>(new Box(f));
  } else {
    w = new QWidget();
    view = std::shared_ptr<View>(new View(w));
  }
  w->setObjectName(node.name);
  if (const Property* p = prop(node, "geometry")) w->setGeometry(p->rect);
  if (const Property* p = prop(node, "enabled")) w->setEnabled(p->text != "false");
  if (const Property* p = prop(node, "styleSheet")) w->setStyleSheet(p->text);
  if (const Property* p = prop(node, "toolTip")) w->setToolTip(p->text);
  if (const Property* p = prop(node, "font")) {
    QFont f = w->font();
    if (p->pointSize > 0) f.setPointSize(p->pointSize);
    f.setBold(p->bold);
    w->setFont(f);
  }
  qt::registerView(view);
  if (auto control = std::dynamic_pointer_cast<Control>(view))
    if (const Property* p = prop(node, "action")) control->setAction(qt::s(p->text));
  const Property* image = prop(node, "image");
  if (!image) image = prop(node, "pixmap");
  if (image && !image->text.isEmpty()) {
    auto named = Image::named(qt::s(image->text));
    if (auto button = std::dynamic_pointer_cast<Button>(view)) button->setImage(named);
    if (auto imageView = std::dynamic_pointer_cast<ImageView>(view)) imageView->setImage(named);
  }
  return view;
}

}  // namespace platform::appkit
