<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="cs_CZ">
<context>
    <name>ErrorReport</name>
    <message>
        <source>Unknown error</source>
        <translation>Neznámá chyba</translation>
    </message>
</context>
<context>
    <name>OfflineCache</name>
    <message>
        <source>Offline copy of %1</source>
        <translation>Offline kopie z %1</translation>
    </message>
</context>
<context>
    <name>RemovedSquadsModel</name>
    <message>
        <source>not kept yet</source>
        <translation>zatím neuloženo</translation>
    </message>
    <message>
        <source>Nick</source>
        <translation>Přezdívka</translation>
    </message>
    <message>
        <source>Address</source>
        <translation>Adresa</translation>
    </message>
    <message>
        <source>Removed</source>
        <translation>Odebráno</translation>
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
        <translation>Prohlížeč adresáře squadů</translation>
    </message>
    <message>
        <source>Written by the Corvanet squad team</source>
        <translation>Napsal tým squadu Corvanet</translation>
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
        <translation>Přidat squad</translation>
    </message>
    <message>
        <source>Enter squad &amp;URL:</source>
        <translation>Zadejte &amp;URL squadu:</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Zrušit</translation>
    </message>
    <message>
        <source>Can&apos;t connect to internet.</source>
        <translation>Nelze se připojit k internetu.</translation>
    </message>
    <message>
        <source>Connection failed</source>
        <translation>Připojení selhalo</translation>
    </message>
    <message>
        <source>This is broken link to squad.</source>
        <translation>Odkaz na squad je nefunkční.</translation>
    </message>
    <message>
        <source>Bad file URL or incorrect data format.</source>
        <translation>Chybná URL souboru nebo nesprávný formát dat.</translation>
    </message>
    <message>
        <source>Squad not found</source>
        <translation>Squad nebyl nalezen</translation>
    </message>
    <message>
        <source>Squad URL</source>
        <translation>URL squadu</translation>
    </message>
</context>
<context>
    <name>TfrmMain</name>
    <message>
        <source>Ready</source>
        <translation>Připraveno</translation>
    </message>
    <message>
        <source>Qor Corvanet v1.0</source>
        <translation>Qor Corvanet v1.0</translation>
    </message>
    <message>
        <source>&amp;System</source>
        <translation>&amp;Systém</translation>
    </message>
    <message>
        <source>&amp;Add Squad ...</source>
        <translation>&amp;Přidat squad ...</translation>
    </message>
    <message>
        <source>&amp;About</source>
        <translation>&amp;O programu</translation>
    </message>
    <message>
        <source>Squad nick (shown with member name):</source>
        <translation>Zkratka squadu (zobrazuje se u jména člena):</translation>
    </message>
    <message>
        <source>Squad name (squad page title):</source>
        <translation>Název squadu (titulek stránky squadu):</translation>
    </message>
    <message>
        <source>E-mail address:</source>
        <translation>E-mailová adresa:</translation>
    </message>
    <message>
        <source>WWW pages:</source>
        <translation>WWW stránky:</translation>
    </message>
    <message>
        <source>Squad Title (on vehicles):</source>
        <translation>Titul squadu (na vozidlech):</translation>
    </message>
    <message>
        <source>Squad logo</source>
        <translation>Logo squadu</translation>
    </message>
    <message>
        <source>Player nick:</source>
        <translation>Přezdívka hráče:</translation>
    </message>
    <message>
        <source>Player ID:</source>
        <translation>ID hráče:</translation>
    </message>
    <message>
        <source>Name:</source>
        <translation>Jméno:</translation>
    </message>
    <message>
        <source>ICQ number:</source>
        <translation>Číslo ICQ:</translation>
    </message>
    <message>
        <source>Description:</source>
        <translation>Popis:</translation>
    </message>
    <message>
        <source>Can&apos;t connect to internet...</source>
        <translation>Nelze se připojit k internetu...</translation>
    </message>
    <message>
        <source>Attempts at connect will continues</source>
        <translation>Pokusy o připojení budou pokračovat</translation>
    </message>
    <message>
        <source>Connection failed</source>
        <translation>Připojení selhalo</translation>
    </message>
    <message>
        <source>Loading database...</source>
        <translation>Načítání databáze...</translation>
    </message>
    <message>
        <source>Connecting to internet...</source>
        <translation>Připojování k internetu...</translation>
    </message>
    <message>
        <source>Loading squad details ...</source>
        <translation>Načítání podrobností o squadu ...</translation>
    </message>
    <message>
        <source>This is broken link to squad.</source>
        <translation>Odkaz na squad je nefunkční.</translation>
    </message>
    <message>
        <source>Loading squad logo...</source>
        <translation>Načítání loga squadu...</translation>
    </message>
    <message>
        <source>Squad not found.</source>
        <translation>Squad nebyl nalezen.</translation>
    </message>
    <message>
        <source>Squad will be removed from database...</source>
        <translation>Squad bude odstraněn z databáze...</translation>
    </message>
    <message>
        <source>Information</source>
        <translation>Informace</translation>
    </message>
    <message>
        <source>Uploading corvanet changes...</source>
        <translation>Odesílání změn corvanet...</translation>
    </message>
    <message>
        <source>Toolbar</source>
        <translation>Panel nástrojů</translation>
    </message>
    <message>
        <source>Squad &amp;Database</source>
        <translation>&amp;Databáze squadů</translation>
    </message>
    <message>
        <source>Squad De&amp;tails</source>
        <translation>&amp;Podrobnosti squadu</translation>
    </message>
    <message>
        <source>&amp;Refresh Squad List</source>
        <translation>O&amp;bnovit seznam squadů</translation>
    </message>
    <message>
        <source>Squads</source>
        <translation>Squady</translation>
    </message>
    <message>
        <source>Squad and members</source>
        <translation>Squad a jeho členové</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Stav</translation>
    </message>
    <message>
        <source>Cancelling...</source>
        <translation>Rušení...</translation>
    </message>
    <message>
        <source>Logo of %1</source>
        <translation>Logo squadu %1</translation>
    </message>
    <message>
        <source>Uploading: this can no longer be cancelled</source>
        <translation>Odesílání již nelze zrušit</translation>
    </message>
    <message>
        <source>Find squad</source>
        <translation>Najít squad</translation>
    </message>
    <message>
        <source>The squad page as it was when last opened; Squad Details loads it again</source>
        <translation>Stránka squadu, jak vypadala při posledním otevření; Podrobnosti squadu ji načtou znovu</translation>
    </message>
    <message>
        <source>The squad list kept from an earlier run; the live list replaces it as soon as it loads</source>
        <translation>Seznam squadů uchovaný z dřívějšího spuštění; aktuální seznam jej nahradí, jakmile se načte</translation>
    </message>
    <message>
        <source>The squad directory is larger than this program can load.</source>
        <translation>Adresář squadů je větší, než tento program dokáže načíst.</translation>
    </message>
    <message>
        <source>Squad directory refused</source>
        <translation>Adresář squadů odmítnut</translation>
    </message>
    <message>
        <source>&amp;Removed squads ...</source>
        <translation>&amp;Odebrané squady ...</translation>
    </message>
    <message>
        <source>The directory was published, but its earlier versions are not kept.</source>
        <translation>Adresář byl zveřejněn, ale jeho dřívější verze se neukládají.</translation>
    </message>
    <message>
        <source>Directory history</source>
        <translation>Historie adresáře</translation>
    </message>
</context>
<context>
    <name>TfrmRemovedSquads</name>
    <message>
        <source>Removed Squads</source>
        <translation>Odebrané squady</translation>
    </message>
    <message>
        <source>Removed &amp;squads:</source>
        <translation>Odebrané &amp;squady:</translation>
    </message>
    <message>
        <source>Removed squads</source>
        <translation>Odebrané squady</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Stav</translation>
    </message>
    <message>
        <source>&amp;Restore</source>
        <translation>&amp;Obnovit</translation>
    </message>
    <message>
        <source>&amp;Close</source>
        <translation>&amp;Zavřít</translation>
    </message>
    <message>
        <source>Reading the directory&apos;s history...</source>
        <translation>Načítá se historie adresáře...</translation>
    </message>
    <message>
        <source>The directory&apos;s history cannot be read: %1</source>
        <translation>Historii adresáře nelze načíst: %1</translation>
    </message>
    <message>
        <source>The kept history shows no removed squad that is not listed now.</source>
        <translation>Uložená historie neukazuje žádný odebraný squad, který by nyní nebyl v adresáři.</translation>
    </message>
    <message>
        <source>Removed squads not listed now: %1</source>
        <translation>Odebrané squady, které nyní nejsou v adresáři: %1</translation>
    </message>
    <message>
        <source>Restoring %1...</source>
        <translation>Obnovuje se %1...</translation>
    </message>
</context>
<context>
    <name>WaitControls</name>
    <message>
        <source>Progress</source>
        <translation>Průběh</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Zrušit</translation>
    </message>
    <message>
        <source>Stop waiting (Esc)</source>
        <translation>Přestat čekat (Esc)</translation>
    </message>
    <message>
        <source>%1 of %2</source>
        <translation>%1 z %2</translation>
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
        <translation>Nelze vytvořit %1: %2</translation>
    </message>
    <message>
        <source>%1 is no folder of this user</source>
        <translation>%1 není složka tohoto uživatele</translation>
    </message>
    <message>
        <source>Cannot make %1 private: %2</source>
        <translation>%1 nelze nastavit jako soukromou: %2</translation>
    </message>
    <message>
        <source>Cannot create %1</source>
        <translation>Nelze vytvořit %1</translation>
    </message>
    <message>
        <source>Cannot change into %1</source>
        <translation>Nelze přejít do %1</translation>
    </message>
    <message>
        <source>Cannot lock %1: %2</source>
        <translation>Nelze zamknout %1: %2</translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>No private working folder: %1</source>
        <translation>Nelze vytvořit soukromou pracovní složku: %1</translation>
    </message>
</context>
</TS>
