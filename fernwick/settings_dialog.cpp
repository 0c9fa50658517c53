#include "fernwick/settings_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

#include <utility>

namespace fernwick {

namespace {

QString text_of(const std::string& text) { return QString::fromStdString(text); }

QLineEdit* make_field(QWidget* parent, const char* name, const std::string& value,
                      const char* placeholder) {
  auto* field = new QLineEdit(text_of(value), parent);
  field->setObjectName(QString::fromLatin1(name));
  field->setPlaceholderText(QString::fromLatin1(placeholder));
  field->setMinimumWidth(320);
  return field;
}

}  // namespace

SettingsDialog::SettingsDialog(std::string file, QWidget* parent)
    : QDialog(parent), file_(std::move(file)), home_(settings::home_folder()) {
  setWindowTitle(QStringLiteral("Settings"));
  before_ = settings::load(file_, home_);
  saved_ = before_;
  const settings::Settings& s = before_;

  fcc_ = new QRadioButton(text_of("The FCC's own files (from " +
                                  settings::value_text(s, settings::kFccServer) + ")"),
                          this);
  club_ = new QRadioButton(QStringLiteral("A club's update server:"), this);
  fcc_->setObjectName(QStringLiteral("fcc"));
  club_->setObjectName(QStringLiteral("club"));
  (s.use_fcc ? fcc_ : club_)->setChecked(true);
  const std::string club = s.use_fcc ? "" : settings::value_text(s, settings::kUsSource);
  club_server_ = make_field(this, "clubServer", club, "HOST[:PORT]");
  connect(club_server_, &QLineEdit::textEdited, club_, [this] { club_->setChecked(true); });
  canada_server_ = make_field(this, "canadaServer",
                              settings::value_text(s, settings::kCanadaServer), "HOST[:PORT]");
  floppy_folder_ = make_field(this, "floppyFolder",
                              settings::value_text(s, settings::kFloppyFolder), "/media/floppy");
  data_folder_ = make_field(this, "dataFolder", settings::value_text(s, settings::kDataFolder),
                            "~/vantry/calldb");

  auto* club_line = new QHBoxLayout;
  club_line->addWidget(club_);
  club_line->addWidget(club_server_, 1);
  auto* source = new QVBoxLayout;
  source->addWidget(fcc_);
  source->addLayout(club_line);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("US data from:"), source);
  form->addRow(QStringLiteral("Canadian server:"), canada_server_);
  form->addRow(QStringLiteral("Folder for A:"), floppy_folder_);
  form->addRow(QStringLiteral("Data folder:"), data_folder_);

  auto* note = new QLabel(text_of("Saved in " + file_ +
                                  ". New servers and a new folder for A: are used from the next "
                                  "run, a new data folder from fernwick's next start. Options "
                                  "on fernwick's command line override these settings."),
                          this);
  note->setWordWrap(true);
  message_ = new QLabel(this);
  message_->setObjectName(QStringLiteral("message"));
  message_->setWordWrap(true);
  message_->setStyleSheet(QStringLiteral("color: #b00000"));
  if (!s.problem.empty()) {
    message_->setText(text_of(s.problem + ". OK writes the file anew with the values above."));
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(note);
  layout->addWidget(message_);
  layout->addWidget(buttons);
}

void SettingsDialog::accept() {
  settings::Settings s = before_;
  s.problem.clear();
  const struct {
    settings::Key key;
    const char* label;
    QString text;
    QLineEdit* field;
  } values[] = {
      {settings::kUsSource, "The club's update server",
       fcc_->isChecked() ? QStringLiteral("fcc") : club_server_->text(), club_server_},
      {settings::kCanadaServer, "The Canadian server", canada_server_->text(), canada_server_},
      {settings::kFloppyFolder, "The folder for A:", floppy_folder_->text(), floppy_folder_},
      {settings::kDataFolder, "The data folder", data_folder_->text(), data_folder_},
  };
  for (const auto& v : values) {
    const std::string bad = settings::set_value(&s, v.key, v.text.trimmed().toStdString(), home_);
    if (!bad.empty()) {
      message_->setText(v.key == settings::kUsSource
                            ? QStringLiteral("The club's update server must be HOST or "
                                             "HOST:PORT, as club.example.org:8080.")
                            : QString::fromLatin1(v.label) + QLatin1Char(' ') + text_of(bad) +
                                  QLatin1Char('.'));
      v.field->setFocus();
      return;
    }
  }
  std::string error;
  if (settings::save(file_, s, home_, &error) != 0) {
    message_->setText(text_of(error));
    return;
  }
  saved_ = s;
  QDialog::accept();
}

}  // namespace fernwick
