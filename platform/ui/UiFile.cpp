#include "UiFile.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QXmlStreamReader>

namespace ui {

ControlKind controlKindForClass(const QString &className, bool isRoot) {
    static const QHash<QString, ControlKind> kinds = {
        {QStringLiteral("QLabel"), ControlKind::TextField},
        {QStringLiteral("QLineEdit"), ControlKind::TextField},
        {QStringLiteral("QPushButton"), ControlKind::Button},
        {QStringLiteral("QToolButton"), ControlKind::Button},
        {QStringLiteral("QCheckBox"), ControlKind::Button},
        {QStringLiteral("QRadioButton"), ControlKind::Button},
        {QStringLiteral("QCommandLinkButton"), ControlKind::Button},
        {QStringLiteral("QProgressBar"), ControlKind::ProgressIndicator},
        {QStringLiteral("QComboBox"), ControlKind::ComboBox},
        {QStringLiteral("QFontComboBox"), ControlKind::ComboBox},
        {QStringLiteral("QWidget"), ControlKind::Box},
        {QStringLiteral("QFrame"), ControlKind::Box},
        {QStringLiteral("QGroupBox"), ControlKind::Box}};
    if (isRoot && (className == QLatin1String("QDialog") || className == QLatin1String("QWizard")))
        return ControlKind::Window;
    return kinds.value(className, ControlKind::View);
}

QString controlKindName(ControlKind kind) {
    switch (kind) {
    case ControlKind::View:
        return QStringLiteral("view");
    case ControlKind::TextField:
        return QStringLiteral("text field");
    case ControlKind::Button:
        return QStringLiteral("button");
    case ControlKind::ProgressIndicator:
        return QStringLiteral("progress indicator");
    case ControlKind::ComboBox:
        return QStringLiteral("combo box");
    case ControlKind::Box:
        return QStringLiteral("box");
    case ControlKind::Window:
        return QStringLiteral("window");
    }
    return QString();
}

const UiControl *UiForm::find(const QString &objectName) const {
    for (const UiControl &control : controls) {
        if (control.objectName == objectName)
            return &control;
    }
    return nullptr;
}

QList<const UiControl *> UiForm::inTabOrder() const {
    QList<const UiControl *> ordered;
    for (const QString &name : tabStops) {
        const UiControl *control = find(name);
        if (control != nullptr && !ordered.contains(control))
            ordered.append(control);
    }
    for (const UiControl &control : controls) {
        if (!ordered.contains(&control))
            ordered.append(&control);
    }
    return ordered;
}

namespace {

// A property's value as text: strings, enums, numbers and booleans are all a single element
// with character content; compound values (rects, fonts, sizes) are skipped.
struct PropertyValue {
    QString type;
    QString text;
};

class Parser {
public:
    explicit Parser(QIODevice *device)
        : mXml(device) {}

    platform::Expected<UiForm> parse() {
        if (mXml.readNextStartElement() && mXml.name() == QLatin1String("ui")) {
            while (mXml.readNextStartElement()) {
                const auto name = mXml.name();
                if (name == QLatin1String("class")) {
                    mForm.formClass = mXml.readElementText();
                } else if (name == QLatin1String("widget")) {
                    if (!mForm.controls.isEmpty()) {
                        fail(QStringLiteral("more than one root widget"));
                        break;
                    }
                    readWidget(-1);
                } else if (name == QLatin1String("tabstops")) {
                    readTabStops();
                } else {
                    mXml.skipCurrentElement();
                }
            }
        } else if (!mXml.hasError()) {
            fail(QStringLiteral("not a Qt Designer file (no <ui> element)"));
        }
        if (!mXml.hasError() && mForm.controls.isEmpty())
            fail(QStringLiteral("no widget in the file"));
        if (mXml.hasError())
            return interfaceError(
                QStringLiteral("line %1: %2").arg(mXml.lineNumber()).arg(mXml.errorString()));
        resolveHiddenByParent();
        return std::move(mForm);
    }

private:
    void fail(const QString &message) { mXml.raiseError(message); }

    // At a <widget> start element; reads it and everything inside.
    void readWidget(int parent) {
        UiControl control;
        control.className = mXml.attributes().value(QLatin1String("class")).toString();
        control.objectName = mXml.attributes().value(QLatin1String("name")).toString();
        control.parent = parent;
        control.kind = controlKindForClass(control.className, parent < 0);
        const int index = int(mForm.controls.size());
        mForm.controls.append(control);

        while (!mXml.hasError() && mXml.readNextStartElement()) {
            const auto name = mXml.name();
            if (name == QLatin1String("property"))
                readProperty(index);
            else if (name == QLatin1String("widget"))
                readWidget(index);
            else if (name == QLatin1String("layout"))
                readLayout(index);
            else
                mXml.skipCurrentElement();
        }
        finishControl(index);
    }

    // At a <layout> start element: its items hold widgets, spacers and nested layouts; the
    // widgets belong to the widget that owns the layout.
    void readLayout(int owner) {
        while (!mXml.hasError() && mXml.readNextStartElement()) {
            if (mXml.name() != QLatin1String("item")) {
                mXml.skipCurrentElement();
                continue;
            }
            while (!mXml.hasError() && mXml.readNextStartElement()) {
                const auto name = mXml.name();
                if (name == QLatin1String("widget"))
                    readWidget(owner);
                else if (name == QLatin1String("layout"))
                    readLayout(owner);
                else
                    mXml.skipCurrentElement();
            }
        }
    }

    void readTabStops() {
        while (!mXml.hasError() && mXml.readNextStartElement()) {
            if (mXml.name() == QLatin1String("tabstop"))
                mForm.tabStops.append(mXml.readElementText().trimmed());
            else
                mXml.skipCurrentElement();
        }
    }

    std::optional<PropertyValue> readValue() {
        std::optional<PropertyValue> value;
        while (!mXml.hasError() && mXml.readNextStartElement()) {
            static const QSet<QString> simple = {
                QStringLiteral("string"), QStringLiteral("cstring"), QStringLiteral("enum"),
                QStringLiteral("set"),    QStringLiteral("number"),  QStringLiteral("bool"),
                QStringLiteral("double"), QStringLiteral("float")};
            const QString type = mXml.name().toString();
            if (!value && simple.contains(type))
                value = PropertyValue{type, mXml.readElementText()};
            else
                mXml.skipCurrentElement();
        }
        return value;
    }

    bool toBool(const PropertyValue &value, const QString &property) {
        if (value.type == QLatin1String("bool") || value.type == QLatin1String("string")) {
            const QString text = value.text.trimmed();
            if (text == QLatin1String("true"))
                return true;
            if (text == QLatin1String("false"))
                return false;
        }
        fail(QStringLiteral("property \"%1\" is not a boolean").arg(property));
        return false;
    }

    void readProperty(int index) {
        const QString property = mXml.attributes().value(QLatin1String("name")).toString();
        const std::optional<PropertyValue> value = readValue();
        if (!value)
            return;
        UiControl &control = mForm.controls[index];
        if (property == QLatin1String("text") || property == QLatin1String("title") ||
            property == QLatin1String("windowTitle"))
            control.text = value->text;
        else if (property == QLatin1String("placeholderText"))
            control.placeholderText = value->text;
        else if (property == QLatin1String("toolTip"))
            control.toolTip = value->text;
        else if (property == QLatin1String("action"))
            control.action = value->text.trimmed();
        else if (property == QLatin1String("firstView"))
            control.firstView = value->text.trimmed();
        else if (property == QLatin1String("buddy"))
            control.buddy = value->text.trimmed();
        else if (property == QLatin1String("cancel"))
            control.cancel = toBool(*value, property);
        else if (property == QLatin1String("default"))
            control.isDefault = toBool(*value, property);
        else if (property == QLatin1String("visible"))
            control.hidden = !toBool(*value, property);
        else if (property == QLatin1String("enabled"))
            control.enabled = toBool(*value, property);
        else if (property == QLatin1String("readOnly") && toBool(*value, property))
            mReadOnly.insert(index);
        else if (property == QLatin1String("echoMode"))
            control.secure = !value->text.trimmed().endsWith(QLatin1String("::Normal"));
    }

    void finishControl(int index) {
        UiControl &control = mForm.controls[index];
        const bool line = control.className == QLatin1String("QLineEdit");
        control.editable = line && !mReadOnly.contains(index);
        control.secure = line && control.secure;
    }

    void resolveHiddenByParent() {
        // A parent comes before its children in the list.
        for (UiControl &control : mForm.controls) {
            if (control.parent >= 0) {
                const UiControl &parent = mForm.controls[control.parent];
                control.hiddenByParent = parent.hidden || parent.hiddenByParent;
            }
        }
    }

    QXmlStreamReader mXml;
    UiForm mForm;
    QSet<int> mReadOnly; // indices of controls marked read-only
};

} // namespace

platform::Expected<UiForm> readUi(QIODevice *device) {
    return Parser(device).parse();
}

platform::Expected<UiForm> readUiFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return interfaceError(QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
    platform::Expected<UiForm> form = readUi(&file);
    if (!form)
        return interfaceError(
            QStringLiteral("%1: %2").arg(path, form.error().localizedDescription));
    return form;
}

} // namespace ui
