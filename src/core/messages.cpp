#include "messages.h"

namespace qel::messages {

std::string OpenFailed(std::string_view port_name, std::uint32_t code) {
  std::string text = "Не могу открыть порт ";
  text.append(port_name);
  text += ": ";
  text += std::to_string(code);
  return text;
}

// "Timout" is no typo to mend: it is the text users have always seen and clients compare,
// letter for letter.
std::string SetupFailed(std::uint32_t code) { return "Error DCB&Timout:" + std::to_string(code); }

std::string ReadFailed(std::uint32_t code, std::string_view error_description) {
  // "СОМ" here is Cyrillic, as the users have always seen it.
  std::string text = "Ошибка чтения данных из СОМ-порта:";
  text += std::to_string(code);
  text.append(error_description);
  return text;
}

}  // namespace qel::messages

namespace qel::messages {

Presentation PresentationOf(ReadingError failure) {
  if (failure == ReadingError::kReadFailed) return {kReadFailedCaption, MessageIcon::kCritical};
  return {kDriverCaption, MessageIcon::kNone};
}

void Show(MessageSink& sink, ReadingError failure, std::string_view text) {
  const Presentation shown = PresentationOf(failure);
  sink.Show(text, shown.caption, shown.icon);
}

}  // namespace qel::messages
