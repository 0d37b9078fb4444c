// messages.h - every operator message of the updater, stored once as a message pair:
// the Spanish string, its zero, then the English string. PickMessage chooses one.
// Spanish accented letters are code page 437 bytes (\xA2 is o acute, \x82 e acute).
#pragma once

#define KQ_MESSAGE_PAIRS(X) \
    X(MSG_FILE_CORRUPT, "Fichero corrupto", "File corrupt") \
    X(MSG_NO_COUNTER, "No hay contador de microsegundos", "No high-resolution counter") \
    X(MSG_PACKET_CORRUPT, "Paquete corrupto", "Packet corrupt") \
    X(MSG_PUSH_ENTER, "Pusar [ENTER] en el teclado PC para continuar\n", \
      "Push [ENTER] on PC-Keyboard to continue\n") \
    X(MSG_CONNECTING, "Conectando a %s...\n", "Connecting to %s...\n") \
    X(MSG_NOT_FOUND, "%s no conectad@\n", "%s not found\n") \
    X(MSG_DISCONNECTING, "Desconectando...\n\n", "Disconnecting...\n\n") \
    X(MSG_BEGIN, "Comienzo...\n", "Begin...\n") \
    X(MSG_DELETING_FLASH, "Borrando la flash...\n", "Deleting Flash...\n") \
    X(MSG_ERASING_BLOCK, "Borrando Bloque %u...\n", "Erasing Block %u...\n") \
    X(MSG_PROGRAMMING_FLASH, "Escribiendo la flash...\n", "Programming Flash...\n") \
    X(MSG_PROGRAMING_ADDRESS, "Escribiendo direccion %08x...\n", \
      "Programing address %08x...\n") \
    X(MSG_VERIFYING_FLASH, "Verificando la flash...\n", "Verifing Flash...\n") \
    X(MSG_VERIFYING_ADDRESS, "Verificando direccion %08x...\n", \
      "Verifing address %08x...\n") \
    X(MSG_END, "Fin...\n", "End...\n") \
    X(MSG_UPDATED, "%s Actualizado\n", "%s Updated\n") \
    X(MSG_FLASH_VERIFIED, "Flash verificada\n", "Flash verified\n") \
    X(MSG_NOT_VERIFIED, "Flash no verificada: el programa de arranque no contest\xA2 a la comprobaci\xA2n\n", \
      "Flash not verified: the boot program did not answer the check\n") \
    X(MSG_VERIFY_ERROR_AT, \
      "Error de verificaci\xA2n en la direcci\xA2n 0x%08x: le\xA1" "do 0x%02x, esperado 0x%02x", \
      "Verify error at address 0x%08x: read 0x%02x, expected 0x%02x") \
    X(MSG_VERIFY_SUM_ERROR, \
      "Error de verificaci\xA2n: suma de la flash 0x%08x, esperada 0x%08x", \
      "Verify error: flash sum 0x%08x, expected 0x%08x") \
    X(MSG_UPDATING, "Actualizando %s...\n", "Updating %s...\n") \
    X(MSG_PUT_BOOT_JUMPER, "Apagar, poner el jumper BOOT, encender, [ENTER] continuar...\n", \
      "Switch off, put BOOT-Jumper, switch on, [ENTER] continue...\n") \
    X(MSG_TRANSFER_PROGRAMMER, "Transfiriendo el software de programaci\xA2n...\n", \
      "Transfer of the programming software...\n") \
    X(MSG_REMOVE_BOOT_JUMPER, \
      "Apagar, quitar el jumper BOOT, mantener pulsada la tecla [<-] y encender, \n" \
      " [ENTER] para continuar...\n", \
      "Switch off, remove BOOT-Jumper, press & hold [<-] key & switch on, \n [ENTER] to continue...\n") \
    X(MSG_REMOVE_JUMPERS, \
      "Apagar o desconectar de KQ-LINK, quitar jumper(s), \n encender o conectar a KQ-LINK\n", \
      "Switch off or disconnect of KQ-LINK, remove jumper(s), \n switch on or connect to KQ-LINK...\n") \
    X(MSG_CONNECT_REMOTE, \
      "Conectar Remote al puerto KQ-LINK de %s, encender Remote,\n" \
      " esperar hasta que finalize la inicializacion de Remote\n", \
      "Connect Remote to KQ-LINK port on %s, switch on Remote,\n" \
      " wait until Initialization of Remote is finished\n") \
    X(MSG_CONNECT_RECEIVER, \
      "Conectar Receiver al puerto KQ-LINK de %s, encender Receiver, esperar \n" \
      " hasta que finalize la inicializacion de Receiver (leds RXD y TXD apagados)\n", \
      "Connect Receiver to KQ-LINK port on %s, switch on Receiver,\n" \
      " wait until Initialization of Receiver is finished (RXD & TXD leds off)\n") \
    X(MSG_CONNECT_TEMPABOX, \
      "Conectar Tempa BOX al puerto KQ-LINK de %s, encender Tempa BOX, esperar \n" \
      " hasta que finalize la inicializacion de Tempa BOX (leds RXD y TXD apagados)\n", \
      "Connect Tempa BOX to KQ-LINK port on %s, switch on Tempa BOX,\n" \
      " wait until Initialization of Tempa BOX is finished (RXD & TXD leds off)\n") \
    X(MSG_NO_PERIPHERAL, "Ningun %s conectado a KQ-LINK?\n", "No %s connection to KQ-LINK?\n") \
    X(MSG_PERIPHERAL_UPDATE_QUESTION, "Actualizar %s? [ENTER] si, [->] no\n", "%s update? [ENTER] yes, [->] no\n") \
    X(MSG_SERVICE_WHY, \
      " Un %s interrumpido al actualizar solo contesta en SERVICIO TECNICO,\n" \
      " que tambien reescribe su calibracion (flash 0x1000-0x1FFF)\n", \
      " A %s whose update was cut short answers only in TECHNICAL SERVICE,\n" \
      " which also rewrites its calibration (flash 0x1000-0x1FFF)\n") \
    X(MSG_SERVICE_UPDATE_QUESTION, "Actualizar %s por SERVICIO TECNICO? [ENTER] si, [->] no\n", \
      "%s TECHNICAL SERVICE update? [ENTER] yes, [->] no\n") \
    X(MSG_SERVICE_PROMPT_REMOTE, "Apagar Remote, poner jumper(s), conectar a KQ-LINK, encender...\n", \
      "Switch off Remote, put jumper(s), connect to KQ-LINK, switch on...\n") \
    X(MSG_SERVICE_PROMPT_RECEIVER, "Desconectar Receiver de KQ-LINK, poner jumper, conectar a KQ-LINK...\n", \
      "Disconnect Receiver of KQ-LINK, put jumper, connect to KQ-LINK...\n") \
    X(MSG_TEMPABOX_BOOT_PROMPT, \
      "Desconectar Tempa BOX de KQ-LINK, poner jumper, \n conectar al puerto KQ-LINK en %s y encender Tempa BOX\n", \
      "Disconnect Tempa BOX of KQ-LINK, put jumper, \n connect to KQ-LINK port on %s & switch on Tempa BOX\n") \
    X(MSG_REMOTE_NUMBER_PROMPT, \
      "Encender Remote y pulsar [1]-[9] o [A]-[C] (numero RemoteID 1-12) en el \n teclado PC para continuar\n", \
      "Switch on Remote & press [1]-[9] or [A]-[C] (RemoteID number 1-12) on PC \n keyboard to continue\n") \
    X(MSG_OPERATE_ON, "Operar en %s\n", "Operate on %s\n") \
    X(MSG_PUSH_ENTER_EXIT, "Pusar [ENTER] en el teclado PC para terminar\n", "Push [ENTER] on PC-Keyboard to exit\n") \
    X(MSG_STICK_DRIVE_PROMPT, \
      "Conectar llavero-USB Y teclear su letra de unidad\n  [D]  llavero-USB en unidad D:\n  ...\n" \
      "  [Z]  llavero-USB en unidad Z:\n  [->] no llavero-USB\n", \
      "Insert USB-Stick & select the drive letter\n  [D]  USB-Stick on unit D:\n  ..\n" \
      "  [Z]  USB-Stick on unit Z:\n  [->] no USB-Stick\n") \
    X(MSG_STICK_ERROR, "Error en llavero-USB.  Intertarlo de nuevo\n", "Error USB-Stick.  Try again\n") \
    X(MSG_STICK_READY, \
      "Encender Consola.    Insertar el llavero-USB en Consola \n  Esperar 60 segundos \n" \
      "  Apagar  Consola.    Desconectar el llavero-USB en Consola \n" \
      "  Encender Consola de nuevo, y comprobar la versi\xA2n del Vinculum \n" \
      "  No olvidar borrar el fichero FTRFB.FTD del llavero-USB (en PC) \n", \
      "Switch on Console.    Insert USB-Stick to Console \n  Wait 60 seconds \n" \
      "  Switch off Console.    Remove USB-Stick of Console \n" \
      "  Switch on Console & check Vinculum version \n" \
      "  Don't forget to delete the update file FTRFB.FTD on USB-Stick (on PC) \n") \
    X(MSG_LOG_OFF, "No se puede escribir %s: registro desactivado\n", \
      "Cannot write %s: log switched off\n") \
    X(MSG_MAC_NOT_STORED, \
      "No se puede guardar la siguiente direcci\xA2n en kq.ini.\n" \
      "La direcci\xA2n %s no cuenta como entregada.", \
      "Cannot store the next address in kq.ini.\n" \
      "Address %s is not counted as handed out.")

#define KQ_DECLARE_PAIR(name, es, en) extern const char name[];
KQ_MESSAGE_PAIRS(KQ_DECLARE_PAIR)
#undef KQ_DECLARE_PAIR

// The help text, printed with the product name as its only value.
extern const char MSG_HELP_TEXT[];

// Texts that exist in one language only.
extern const char TEXT_ERROR[];  // "\n...ERROR...\n"
extern const char TEXT_OK[];     // "\n...OK...\n\n"
