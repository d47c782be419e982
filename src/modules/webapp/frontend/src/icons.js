import { library, dom, config } from '@fortawesome/fontawesome-svg-core';
import {
  faCog, faRandom, faLongArrowAltRight, faRss, faDotCircle, faPhone, faMicrophoneSlash,
  faPhoneSlash, faUserPlus, faAddressBook, faPhoneSquare, faPlusCircle, faEdit, faTrashAlt,
  faTh, faFolderOpen, faClock, faDownload, faSignal, faThLarge, faMicrophone,
} from '@fortawesome/free-solid-svg-icons';
import { faCopy } from '@fortawesome/free-regular-svg-icons';

// The icon styles come with app.css; the library must not add a <style>.
config.autoAddCss = false;

export function startIcons() {
  library.add(
    faCog, faRandom, faLongArrowAltRight, faRss, faDotCircle, faPhone, faMicrophoneSlash,
    faPhoneSlash, faUserPlus, faAddressBook, faPhoneSquare, faPlusCircle, faEdit, faTrashAlt,
    faTh, faFolderOpen, faClock, faDownload, faSignal, faThLarge, faMicrophone, faCopy,
  );
  dom.watch();
}
