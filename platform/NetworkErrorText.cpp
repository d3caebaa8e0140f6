#include "platform/NetworkErrorText.h"

#include <asio/error.hpp>
#include <cerrno>

namespace quorvi {

std::string describeNetworkError(const std::error_code& error) {
    if (error == asio::error::eof) {
        return "Connexion fermée par le correspondant";
    }
    if (error == asio::error::operation_aborted) {
        return "Opération annulée";
    }
    if (error.category() == std::system_category() ||
        error.category() == asio::error::get_system_category()) {
        switch (error.value()) {
        case EADDRINUSE:
            return "Adresse déjà utilisée";
        case EADDRNOTAVAIL:
            return "Adresse indisponible";
        case EACCES:
            return "Permission refusée";
        case ECONNRESET:
            return "Connexion réinitialisée par le correspondant";
        case ECONNABORTED:
            return "Connexion interrompue";
        case EPIPE:
            return "Connexion rompue";
        case ETIMEDOUT:
            return "Délai d'attente dépassé";
        case ENETDOWN:
            return "Réseau inactif";
        case ENETUNREACH:
            return "Réseau inaccessible";
        case EHOSTUNREACH:
            return "Hôte inaccessible";
        case EMFILE:
        case ENFILE:
            return "Trop de fichiers ouverts";
        case ENOBUFS:
        case ENOMEM:
            return "Mémoire insuffisante";
        default:
            break;
        }
    }
    return error.message();
}

} // namespace quorvi
