<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>ErrorReport</name>
    <message>
        <source>Unknown error</source>
        <translation>Unbekannter Fehler</translation>
    </message>
</context>
<context>
    <name>OfflineCache</name>
    <message>
        <source>Offline copy of %1</source>
        <translation>Offline-Kopie vom %1</translation>
    </message>
</context>
<context>
    <name>RemovedSquadsModel</name>
    <message>
        <source>not kept yet</source>
        <translation>noch nicht aufbewahrt</translation>
    </message>
    <message>
        <source>Nick</source>
        <translation>Nick</translation>
    </message>
    <message>
        <source>Address</source>
        <translation>Adresse</translation>
    </message>
    <message>
        <source>Removed</source>
        <translation>Entfernt</translation>
    </message>
</context>
<context>
    <name>TfrmAbout</name>
    <message>
        <source>Qor Corvanet v1.0</source>
        <translation>Qor Corvanet v1.0</translation>
    </message>
    <message>
        <source>Squad directory browser</source>
        <translation>Browser für das Squad-Verzeichnis</translation>
    </message>
    <message>
        <source>Written by the Corvanet squad team</source>
        <translation>Geschrieben vom Corvanet-Squad-Team</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>TfrmAddSquad</name>
    <message>
        <source>Add Squad</source>
        <translation>Squad hinzufügen</translation>
    </message>
    <message>
        <source>Enter squad &amp;URL:</source>
        <translation>&amp;URL des Squads eingeben:</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Can&apos;t connect to internet.</source>
        <translation>Keine Verbindung zum Internet möglich.</translation>
    </message>
    <message>
        <source>Connection failed</source>
        <translation>Verbindung fehlgeschlagen</translation>
    </message>
    <message>
        <source>This is broken link to squad.</source>
        <translation>Der Link zum Squad funktioniert nicht.</translation>
    </message>
    <message>
        <source>Bad file URL or incorrect data format.</source>
        <translation>Falsche Datei-URL oder ungültiges Datenformat.</translation>
    </message>
    <message>
        <source>Squad not found</source>
        <translation>Squad nicht gefunden</translation>
    </message>
    <message>
        <source>Squad URL</source>
        <translation>URL des Squads</translation>
    </message>
</context>
<context>
    <name>TfrmMain</name>
    <message>
        <source>Ready</source>
        <translation>Bereit</translation>
    </message>
    <message>
        <source>Qor Corvanet v1.0</source>
        <translation>Qor Corvanet v1.0</translation>
    </message>
    <message>
        <source>&amp;System</source>
        <translation>&amp;System</translation>
    </message>
    <message>
        <source>&amp;Add Squad ...</source>
        <translation>Squad &amp;hinzufügen ...</translation>
    </message>
    <message>
        <source>&amp;About</source>
        <translation>Ü&amp;ber</translation>
    </message>
    <message>
        <source>Squad nick (shown with member name):</source>
        <translation>Squad-Kürzel (beim Namen des Mitglieds angezeigt):</translation>
    </message>
    <message>
        <source>Squad name (squad page title):</source>
        <translation>Squad-Name (Titel der Squad-Seite):</translation>
    </message>
    <message>
        <source>E-mail address:</source>
        <translation>E-Mail-Adresse:</translation>
    </message>
    <message>
        <source>WWW pages:</source>
        <translation>Webseiten:</translation>
    </message>
    <message>
        <source>Squad Title (on vehicles):</source>
        <translation>Squad-Titel (auf Fahrzeugen):</translation>
    </message>
    <message>
        <source>Squad logo</source>
        <translation>Squad-Logo</translation>
    </message>
    <message>
        <source>Player nick:</source>
        <translation>Spielername (Nick):</translation>
    </message>
    <message>
        <source>Player ID:</source>
        <translation>Spieler-ID:</translation>
    </message>
    <message>
        <source>Name:</source>
        <translation>Name:</translation>
    </message>
    <message>
        <source>ICQ number:</source>
        <translation>ICQ-Nummer:</translation>
    </message>
    <message>
        <source>Description:</source>
        <translation>Beschreibung:</translation>
    </message>
    <message>
        <source>Can&apos;t connect to internet...</source>
        <translation>Keine Verbindung zum Internet...</translation>
    </message>
    <message>
        <source>Attempts at connect will continues</source>
        <translation>Verbindungsversuche werden fortgesetzt</translation>
    </message>
    <message>
        <source>Connection failed</source>
        <translation>Verbindung fehlgeschlagen</translation>
    </message>
    <message>
        <source>Loading database...</source>
        <translation>Datenbank wird geladen...</translation>
    </message>
    <message>
        <source>Connecting to internet...</source>
        <translation>Verbindung zum Internet wird hergestellt...</translation>
    </message>
    <message>
        <source>Loading squad details ...</source>
        <translation>Squad-Details werden geladen ...</translation>
    </message>
    <message>
        <source>This is broken link to squad.</source>
        <translation>Der Link zum Squad funktioniert nicht.</translation>
    </message>
    <message>
        <source>Loading squad logo...</source>
        <translation>Squad-Logo wird geladen...</translation>
    </message>
    <message>
        <source>Squad not found.</source>
        <translation>Squad nicht gefunden.</translation>
    </message>
    <message>
        <source>Squad will be removed from database...</source>
        <translation>Squad wird aus der Datenbank entfernt...</translation>
    </message>
    <message>
        <source>Information</source>
        <translation>Information</translation>
    </message>
    <message>
        <source>Uploading corvanet changes...</source>
        <translation>Corvanet-Änderungen werden hochgeladen...</translation>
    </message>
    <message>
        <source>Toolbar</source>
        <translation>Werkzeugleiste</translation>
    </message>
    <message>
        <source>Squad &amp;Database</source>
        <translation>Squad-&amp;Datenbank</translation>
    </message>
    <message>
        <source>Squad De&amp;tails</source>
        <translation>Squad-De&amp;tails</translation>
    </message>
    <message>
        <source>&amp;Refresh Squad List</source>
        <translation>Squad-Liste &amp;aktualisieren</translation>
    </message>
    <message>
        <source>Squads</source>
        <translation>Squads</translation>
    </message>
    <message>
        <source>Squad and members</source>
        <translation>Squad und Mitglieder</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>Cancelling...</source>
        <translation>Wird abgebrochen...</translation>
    </message>
    <message>
        <source>Logo of %1</source>
        <translation>Logo von %1</translation>
    </message>
    <message>
        <source>Uploading: this can no longer be cancelled</source>
        <translation>Das Hochladen kann nicht mehr abgebrochen werden</translation>
    </message>
    <message>
        <source>Find squad</source>
        <translation>Squad suchen</translation>
    </message>
    <message>
        <source>The squad page as it was when last opened; Squad Details loads it again</source>
        <translation>Die Squad-Seite, wie sie beim letzten Öffnen war; Squad-Details lädt sie erneut</translation>
    </message>
    <message>
        <source>The squad list kept from an earlier run; the live list replaces it as soon as it loads</source>
        <translation>Die Squad-Liste aus einem früheren Start; die aktuelle Liste ersetzt sie, sobald sie geladen ist</translation>
    </message>
    <message>
        <source>The squad directory is larger than this program can load.</source>
        <translation>Das Squad-Verzeichnis ist größer, als dieses Programm laden kann.</translation>
    </message>
    <message>
        <source>Squad directory refused</source>
        <translation>Squad-Verzeichnis abgelehnt</translation>
    </message>
    <message>
        <source>&amp;Removed squads ...</source>
        <translation>&amp;Entfernte Squads ...</translation>
    </message>
    <message>
        <source>The directory was published, but its earlier versions are not kept.</source>
        <translation>Das Verzeichnis wurde veröffentlicht, aber seine früheren Fassungen werden nicht aufbewahrt.</translation>
    </message>
    <message>
        <source>Directory history</source>
        <translation>Verlauf des Verzeichnisses</translation>
    </message>
</context>
<context>
    <name>TfrmRemovedSquads</name>
    <message>
        <source>Removed Squads</source>
        <translation>Entfernte Squads</translation>
    </message>
    <message>
        <source>Removed &amp;squads:</source>
        <translation>Entfernte &amp;Squads:</translation>
    </message>
    <message>
        <source>Removed squads</source>
        <translation>Entfernte Squads</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>&amp;Restore</source>
        <translation>&amp;Wiederherstellen</translation>
    </message>
    <message>
        <source>&amp;Close</source>
        <translation>S&amp;chließen</translation>
    </message>
    <message>
        <source>Reading the directory&apos;s history...</source>
        <translation>Der Verlauf des Verzeichnisses wird gelesen...</translation>
    </message>
    <message>
        <source>The directory&apos;s history cannot be read: %1</source>
        <translation>Der Verlauf des Verzeichnisses kann nicht gelesen werden: %1</translation>
    </message>
    <message>
        <source>The kept history shows no removed squad that is not listed now.</source>
        <translation>Der aufbewahrte Verlauf zeigt keinen entfernten Squad, der jetzt nicht im Verzeichnis steht.</translation>
    </message>
    <message>
        <source>Removed squads not listed now: %1</source>
        <translation>Entfernte Squads, die jetzt nicht im Verzeichnis stehen: %1</translation>
    </message>
    <message>
        <source>Restoring %1...</source>
        <translation>%1 wird wiederhergestellt...</translation>
    </message>
</context>
<context>
    <name>WaitControls</name>
    <message>
        <source>Progress</source>
        <translation>Fortschritt</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Stop waiting (Esc)</source>
        <translation>Warten beenden (Esc)</translation>
    </message>
    <message>
        <source>%1 of %2</source>
        <translation>%1 von %2</translation>
    </message>
    <message>
        <source>%1 (%2)</source>
        <translation>%1 (%2)</translation>
    </message>
</context>
<context>
    <name>WorkingFolder</name>
    <message>
        <source>Cannot create %1: %2</source>
        <translation>%1 kann nicht angelegt werden: %2</translation>
    </message>
    <message>
        <source>%1 is no folder of this user</source>
        <translation>%1 ist kein Ordner dieses Benutzers</translation>
    </message>
    <message>
        <source>Cannot make %1 private: %2</source>
        <translation>%1 kann nicht privat gemacht werden: %2</translation>
    </message>
    <message>
        <source>Cannot create %1</source>
        <translation>%1 kann nicht angelegt werden</translation>
    </message>
    <message>
        <source>Cannot change into %1</source>
        <translation>Wechsel nach %1 nicht möglich</translation>
    </message>
    <message>
        <source>Cannot lock %1: %2</source>
        <translation>%1 kann nicht gesperrt werden: %2</translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>No private working folder: %1</source>
        <translation>Kein privater Arbeitsordner: %1</translation>
    </message>
</context>
</TS>
