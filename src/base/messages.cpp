// messages.cpp - the message pairs, each a Spanish and an English string in one array.
#include "base/messages.h"

#define KQ_DEFINE_PAIR(name, es, en) extern const char name[] = es "\0" en;
KQ_MESSAGE_PAIRS(KQ_DEFINE_PAIR)
#undef KQ_DEFINE_PAIR

// Lines 3 and 10 of the English text are 83 characters and run on to the next row.
extern const char MSG_HELP_TEXT[] =
    "Proceso: \n"
    "1. Conectar un cable USB desde el PC a %s y encender \n"
    " Si Windows lo requiere, instalar driver kqusb (ver _ReadmeCorvina.pdf) \n"
    " \n"
    "2. Para actualizar la Consola: Seleccionar File/Update Console \n"
    " \n"
    "3. Si la versi\xA2n de Vinculum no es 03.68 es necesario actualizarlo : \n"
    " Podemos ver la versi\xA2n del Vinculum en la pantalla MENU de Consola \n"
    " KQ recomienda actualizar el Vinculum usando File/Update Vinculum by USB-Stick \n"
    " Conectar llavero-USB(chequeado para Consola) al PC y pulsar su letra de unidad\n"
    " Con el llavero-USB ya programado: \n"
    "  Encender Consola.    Insertar el llavero-USB en Consola \n"
    "  Esperar 60 segundos \n"
    "  Apagar  Consola.    Desconectar el llavero-USB en Consola \n"
    "  Encender Consola de nuevo, y comprobar la versi\xA2n del Vinculum \n"
    "  No olvidar borrar el fichero FTRFB.FTD del llavero-USB (en PC) \n"
    " \n"
    "4. Opcional: Actualizar Remote y  Receiver: \n"
    " Para actualizar esos perif\x82ricos, conectarlos al puerto KQ-LINK de la Consola \n"
    "  Seleccionar File/Update Remote \n"
    "  Seleccionar File/Update Receiver \n"
    "---------------------------------\n"
    "\n"
    "\0"
    "Process: \n"
    "1. Connect USB cable from PC to %s & switch on \n"
    " If Windows asks for new driver, install the kqusb driver (see _ReadmeCorvina.pdf) \n"
    " \n"
    "2. To update the Console: Select File/Update Console \n"
    " \n"
    "3. If Vinculum is not Version 3.68 then it has to be updated: \n"
    " You can see the Vinculum version selecting MENU screen on the Console \n"
    " KQ recommends to update Vinculum selecting File/Update Vinculum by USB-Stick \n"
    " Insert a USB-Stick (must work on Console) to the PC-port & enter its drive letter \n"
    " With the USB-Stick programmed: \n"
    "  Switch on Console.    Insert USB-Stick to Console \n"
    "  Wait 60 seconds \n"
    "  Switch off Console.    Remove USB-Stick of Console \n"
    "  Switch on Console & check Vinculum version \n"
    "  Don't forget to delete the update file FTRFB.FTD on USB-Stick (on PC) \n"
    " \n"
    "4. Optional: Update Remote & Receiver: \n"
    " To update these peripherals, connect them to Console KQ-LINK port \n"
    "  Select File/Update Remote \n"
    "  Select File/Update Receiver \n"
    "---------------------------------\n"
    "\n";

extern const char TEXT_ERROR[] = "\n...ERROR...\n";
extern const char TEXT_OK[] = "\n...OK...\n\n";
