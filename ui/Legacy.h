#pragma once
// TLegacy: a label that behaves as a hyperlink. Hovering underlines it in its
// active colour with a hand cursor; a click opens a web address or a new mail.

#include <QColor>
#include <QLabel>
#include <QString>

#include <functional>

enum TAdressType { atMail, atWWW };

class TLegacy : public QLabel
{
    Q_OBJECT
    Q_PROPERTY(QString Adress READ Adress WRITE SetAdress)
    Q_PROPERTY(QColor ActiveColor READ ActiveColor WRITE SetActiveColor)
    Q_PROPERTY(bool AdressIsMail READ AdressIsMail WRITE SetAdressIsMail)

public:
    explicit TLegacy(QWidget* parent = nullptr);

    const QString& Adress() const { return adress_; }
    void SetAdress(const QString& value) { adress_ = value; }
    TAdressType AdressType() const { return adressType_; }
    void SetAdressType(TAdressType value) { adressType_ = value; }
    const QColor& ActiveColor() const { return activeColor_; }
    void SetActiveColor(const QColor& value) { activeColor_ = value; }

    // The caption's colour (the label font's colour).
    QColor FontColor() const;
    void SetFontColor(const QColor& color);

    // Pointer arrives over / leaves the label; the click operation.
    void MouseEnter();
    void MouseLeave();
    virtual void Click();

    std::function<void(QObject* sender)> OnMouseEnter;
    std::function<void(QObject* sender)> OnMouseExit;
    std::function<void(QObject* sender)> OnClick;

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // Designer sets the type through this flag; code uses AdressType.
    bool AdressIsMail() const { return adressType_ == atMail; }
    void SetAdressIsMail(bool mail) { adressType_ = mail ? atMail : atWWW; }

    QString adress_;
    TAdressType adressType_ = atWWW;
    QColor activeColor_ = Qt::red;
    QColor savedColor_;
    bool pressed_ = false;
    bool hovered_ = false;
};
